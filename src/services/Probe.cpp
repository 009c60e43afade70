#include "Probe.h"

#include "Association.h"
#include "Diagnosis.h"
#include "Log.h"
#include "PDU_Service.h"
#include "TransferSyntaxUids.h"
#include "UidTables.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace {

// The most presentation contexts one association can carry: odd IDs 1 to 255.
constexpr std::size_t ContextLimit = 128;

struct ServiceClass {
    const char* Uid;
    const char* Name;
};

constexpr ServiceClass serviceClasses[] = {
    {"1.2.840.10008.1.1", "Verification"},
    {"1.2.840.10008.5.1.4.1.2.2.1", "Study Root Query/Retrieve - FIND"},
    {"1.2.840.10008.5.1.4.1.2.2.2", "Study Root Query/Retrieve - MOVE"},
    {"1.2.840.10008.5.1.4.1.2.2.3", "Study Root Query/Retrieve - GET"},
    {"1.2.840.10008.5.1.4.1.2.1.1", "Patient Root Query/Retrieve - FIND"},
    {"1.2.840.10008.5.1.4.1.2.1.2", "Patient Root Query/Retrieve - MOVE"},
    {"1.2.840.10008.5.1.4.1.2.1.3", "Patient Root Query/Retrieve - GET"},
    {"1.2.840.10008.5.1.4.31", "Modality Worklist - FIND"},
    {"1.2.840.10008.3.1.2.3.3", "Modality Performed Procedure Step"},
    {"1.2.840.10008.1.20.1", "Storage Commitment Push Model"},
    {"1.2.840.10008.5.1.1.9", "Basic Grayscale Print Management Meta"},
    {"1.2.840.10008.5.1.1.18", "Basic Color Print Management Meta"},
};

// One context to propose: the class (index into the list) and its syntaxes.
struct Proposal {
    std::size_t Class;
    std::vector<std::string> Syntaxes;
};

std::string trimmed(const std::string& text) {
    std::size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// Proposes up to ContextLimit contexts in one association and hands each answered context to
// seen (proposal, result, accepted syntax). False with the reason when the association failed.
template <typename Seen>
bool proposeRound(const ConnectionSettings& s, const std::vector<Proposal>& proposals,
                  const std::vector<ProbeClass>& classes, Seen seen, std::string& reason) {
    PDU_Service service;
    service.useTLS = s.UseTls;
    service.keepUnusable = true;
    service.dumpMessages = 0;
    service.request.SetCallingApTitle(PaddedTitle(s.CallingTitle));
    service.request.SetCalledApTitle(PaddedTitle(s.CalledTitle));
    service.request.SetApplicationContext(ApplicationContextUid);
    service.link.Link().SetTimeout(s.TimeoutSeconds);
    service.request.PresContexts.clear();
    for (std::size_t i = 0; i < proposals.size(); ++i) {
        PresentationContext context(static_cast<std::uint8_t>(2 * i + 1));
        context.SetAbstractSyntax(classes[proposals[i].Class].Uid);
        for (const std::string& syntax : proposals[i].Syntaxes)
            context.AddTransferSyntax(syntax);
        service.request.AddPresentationContext(std::move(context));
    }
    if (!service.Connect(s.Host, s.Port)) {
        reason = Diagnosis::LinkReason(service);
        service.Close();
        return false;
    }
    for (const PresentationContextAccept& answer : service.accept.PresContextAccepts) {
        std::size_t index = answer.PresentationContextID / 2;
        if (answer.PresentationContextID % 2 == 1 && index < proposals.size())
            seen(proposals[index], answer.Result, trimmed(answer.TrnSyntax.UID));
    }
    service.Close();
    LinkFailure failure = service.Failure();
    if (failure && failure.Fault != LinkFault::NoUsableContext) {
        reason = Diagnosis::LinkText(failure, "releasing the probe's association");
        return false;
    }
    return true;
}

} // namespace

const std::vector<ProbeSyntax>& ProbeTransferSyntaxes() {
    static const std::vector<ProbeSyntax> syntaxes = {
        {ImplicitLittleEndian, "IVR-LE"},
        {ExplicitLittleEndian, "EVR-LE"},
        {ExplicitBigEndian, "EVR-BE"},
        {DeflatedExplicitLittleEndian, "Deflate"},
        {JpegBaseline, "JPEG-B"},
        {JpegExtended, "JPEG-E"},
        {JpegLossless, "JPEG-LL"},
        {JpegLsLossless, "JLS-LL"},
        {J2kLossless, "J2K-LL"},
        {J2kLossy, "J2K"},
        {Rle, "RLE"},
    };
    return syntaxes;
}

std::vector<ProbeClass> ProbeClasses() {
    std::vector<ProbeClass> classes;
    for (const ServiceClass& c : serviceClasses)
        classes.push_back({c.Uid, c.Name, false, {}, 0});
    std::vector<std::string> storage;
    for (auto list : {ImageSopClasses(), NonImageSopClasses(), WaveformSopClasses()})
        for (std::string_view uid : list)
            if (std::find(storage.begin(), storage.end(), uid) == storage.end())
                storage.emplace_back(uid);
    for (const std::string& uid : storage) {
        std::string name = UidName(uid);
        classes.push_back({uid, name.empty() ? uid : name, true, {}, 0});
    }
    return classes;
}

ProbeResult ProbePeer(const ConnectionSettings& s) {
    auto start = std::chrono::steady_clock::now();
    ProbeResult result;
    result.Classes = ProbeClasses();
    std::vector<std::string> all;
    for (const ProbeSyntax& syntax : ProbeTransferSyntaxes())
        all.emplace_back(syntax.Uid);
    // Accepted syntaxes per class, kept in a set-like vector until the table order is applied.
    std::vector<std::vector<std::string>> accepted(result.Classes.size());

    auto runRounds = [&](const std::vector<Proposal>& proposals, auto seen) {
        for (std::size_t at = 0; at < proposals.size(); at += ContextLimit) {
            std::vector<Proposal> round(
                proposals.begin() + static_cast<std::ptrdiff_t>(at),
                proposals.begin() +
                    static_cast<std::ptrdiff_t>(std::min(proposals.size(), at + ContextLimit)));
            ++result.Associations;
            if (!proposeRound(s, round, result.Classes, seen, result.Reason))
                return false;
        }
        return true;
    };

    std::vector<Proposal> first;
    for (std::size_t i = 0; i < result.Classes.size(); ++i)
        first.push_back({i, all});
    bool completed =
        runRounds(first, [&](const Proposal& p, std::uint8_t answer, const std::string& syntax) {
            if (answer == 0)
                accepted[p.Class].push_back(syntax);
            else
                result.Classes[p.Class].Result = answer;
        });

    if (completed) {
        std::vector<Proposal> narrowing;
        for (std::size_t i = 0; i < result.Classes.size(); ++i) {
            if (accepted[i].empty())
                continue;
            for (const std::string& syntax : all)
                if (syntax != accepted[i].front())
                    narrowing.push_back({i, {syntax}});
        }
        completed = runRounds(
            narrowing, [&](const Proposal& p, std::uint8_t answer, const std::string& syntax) {
                if (answer == 0 && syntax == p.Syntaxes.front())
                    accepted[p.Class].push_back(syntax);
            });
    }
    for (std::size_t i = 0; i < result.Classes.size(); ++i)
        for (const std::string& syntax : all)
            if (std::find(accepted[i].begin(), accepted[i].end(), syntax) != accepted[i].end())
                result.Classes[i].Accepted.push_back(syntax);
    result.Completed = completed;
    result.Milliseconds = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - start)
                                                .count());
    return result;
}

std::string ProbeSummary(const ProbeResult& result) {
    int proposed = 0, taken = 0;
    std::string rejected;
    for (const ProbeClass& c : result.Classes) {
        if (!c.Storage)
            continue;
        ++proposed;
        if (!c.Accepted.empty())
            ++taken;
        else
            rejected += (rejected.empty() ? "" : ", ") + c.Name;
    }
    return std::to_string(taken) + " of " + std::to_string(proposed) +
           " storage classes accepted; rejected: " + (rejected.empty() ? "none" : rejected);
}

std::vector<std::string> ProbeTableLines(const ProbeResult& result) {
    const std::vector<ProbeSyntax>& syntaxes = ProbeTransferSyntaxes();
    std::size_t width = std::string("SOP class").size();
    for (const ProbeClass& c : result.Classes)
        if (!c.Accepted.empty())
            width = std::max(width, c.Name.size());
    auto padded = [](std::string text, std::size_t to) {
        if (text.size() < to)
            text.append(to - text.size(), ' ');
        return text;
    };
    std::vector<std::string> lines;
    std::string header = padded("SOP class", width);
    for (const ProbeSyntax& syntax : syntaxes)
        header += std::string(" ") + syntax.Label;
    lines.push_back(header);
    for (const ProbeClass& c : result.Classes) {
        if (c.Accepted.empty())
            continue;
        std::string row = padded(c.Name, width);
        for (const ProbeSyntax& syntax : syntaxes) {
            bool taken =
                std::find(c.Accepted.begin(), c.Accepted.end(), syntax.Uid) != c.Accepted.end();
            // The mark is one column wide but three bytes long.
            row += " " + std::string(taken ? "\u2713" : " ") +
                   std::string(std::string(syntax.Label).size() - 1, ' ');
        }
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        lines.push_back(row);
    }
    lines.push_back(ProbeSummary(result));
    return lines;
}
