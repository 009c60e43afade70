#include "Commitment.h"

#include "Association.h"
#include "AssociationAcceptor.h"
#include "Diagnosis.h"
#include "Log.h"

#include <chrono>
#include <memory>
#include <thread>

namespace {

constexpr uint16_t NoDataSet = 0x0101;
constexpr int PollMs = 100;

std::unique_ptr<DcmObj> referenceItem(const StoredInstance& instance) {
    auto item = std::make_unique<DcmObj>();
    item->AddString(0x0008, 0x1150, instance.SopClassUID);
    item->AddString(0x0008, 0x1155, instance.SopInstanceUID);
    return item;
}

// Walks the report in entry order, whether its sequences came nested (defined length) or
// flat with their delimiters (undefined length).
class ReportWalker {
public:
    explicit ReportWalker(CommitmentOutcome& outcome) : outcome(outcome) {}

    void Walk(DcmObj& dataSet) {
        for (int i = 0; i < dataSet.Count(); ++i) {
            if (DcmObj* nested = dataSet.ObjAt(i)) {
                const DcmTag& header = nested->itemTag;
                if (startsSequence(header)) {
                    Walk(*nested);
                    endSequence();
                } else {
                    if (header.Is(0xFFFE, 0xE000))
                        startItem();
                    Walk(*nested);
                    endItem();
                }
                continue;
            }
            const DcmTag& tag = *dataSet.TagAt(i);
            if (startsSequence(tag))
                continue;
            if (tag.Is(0xFFFE, 0xE000))
                startItem();
            else if (tag.Is(0xFFFE, 0xE00D))
                endItem();
            else if (tag.Is(0xFFFE, 0xE0DD))
                endSequence();
            else if (tag.Is(0x0008, 0x1195) && !target)
                outcome.TransactionUID = tag.GetString();
            else if (target && tag.Is(0x0008, 0x1150))
                current.SopClassUID = tag.GetString();
            else if (target && tag.Is(0x0008, 0x1155))
                current.SopInstanceUID = tag.GetString();
            else if (target && tag.Is(0x0008, 0x1197))
                current.FailureReason = tag.GetUShort();
        }
    }

private:
    bool startsSequence(const DcmTag& tag) {
        if (tag.Is(0x0008, 0x1199))
            target = &outcome.Committed;
        else if (tag.Is(0x0008, 0x1198))
            target = &outcome.Failed;
        else
            return false;
        return true;
    }
    void startItem() {
        endItem();
        inItem = true;
    }
    void endItem() {
        if (inItem && target && !current.SopInstanceUID.empty())
            target->push_back(current);
        current = CommitmentReference();
        inItem = false;
    }
    void endSequence() {
        endItem();
        target = nullptr;
    }

    CommitmentOutcome& outcome;
    std::vector<CommitmentReference>* target = nullptr;
    CommitmentReference current;
    bool inItem = false;
};

bool writeEventReportRSP(PDU_Service& service, const DcmObj& request) {
    CommandSet command;
    command.Uid(0x0002, request.GetString(0x0000, 0x0002))
        .UShort(0x0100, NCommand::EventReportRSP)
        .UShort(0x0120, request.GetUShort(0x0000, 0x0110))
        .UShort(0x0800, NoDataSet)
        .UShort(0x0900, 0)
        .Uid(0x1000, request.GetString(0x0000, 0x1000))
        .UShort(0x1002, request.GetUShort(0x0000, 0x1002));
    std::unique_ptr<DcmObj> built = command.Build();
    return service.Write(*built, 1);
}

// Reads one message; when it is the commitment report, answers it and fills the outcome.
// False when nothing could be read (the association ended).
bool readReport(PDU_Service& service, CommitmentOutcome& outcome, const char* on) {
    DcmObj message;
    if (!service.Read(message))
        return false;
    if (message.GetUShort(0x0000, 0x0100) != NCommand::EventReportRQ) {
        LogMessage("WARNING, RequestStorageCommitment, message other than N-EVENT-REPORT "
                   "ignored");
        return true;
    }
    DcmObj report;
    if (message.GetUShort(0x0000, 0x0800) != NoDataSet && !service.Read(report))
        return false;
    writeEventReportRSP(service, message);
    ReadCommitmentReport(report, outcome);
    outcome.Reported = true;
    outcome.ReportedOn = on;
    return true;
}

// A peer's association with the report: accepted for the commitment class only, read until
// the report, then until the peer releases.
void takeReport(int descriptor, int timeoutSeconds, CommitmentOutcome& outcome) {
    PDU_Service inbound;
    inbound.dumpMessages = CurrentLogLevel >= 2;
    auto commitmentOnly = [](const std::string& uid) { return uid == StorageCommitmentSopClass; };
    if (!AcceptAssociation(inbound, descriptor, commitmentOnly, timeoutSeconds))
        return;
    while (!outcome.Reported && readReport(inbound, outcome, "new association")) {
    }
    // The peer releases; a read answers it.
    DcmObj rest;
    while (inbound.IsConnected() && inbound.Read(rest))
        rest.Clear();
    inbound.link.Link().Close();
}

} // namespace

void BuildCommitmentRequest(const std::string& transactionUid,
                            const std::vector<StoredInstance>& instances, DcmObj& dataSet) {
    dataSet.AddString(0x0008, 0x1195, transactionUid);
    auto sequence = std::make_unique<DcmObj>();
    for (const StoredInstance& instance : instances)
        sequence->AddSequence(0xFFFE, 0xE000, referenceItem(instance));
    dataSet.AddSequence(0x0008, 0x1199, std::move(sequence));
}

void ReadCommitmentReport(DcmObj& report, CommitmentOutcome& outcome) {
    ReportWalker(outcome).Walk(report);
}

CommitmentOutcome RequestStorageCommitment(const ServicePeer& peer,
                                           const std::vector<StoredInstance>& instances,
                                           int localPort, int waitSeconds,
                                           const std::atomic<bool>* cancel) {
    CommitmentOutcome outcome;
    AssociationListener listener;
    if (localPort != 0 && !listener.Listen(localPort)) {
        outcome.Reason = "the local port " + std::to_string(localPort) +
                         " cannot be opened for the commitment report";
        return outcome;
    }
    std::string transaction = NewUid();
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, StorageCommitmentSopClass)) {
        outcome.Reason = Diagnosis::LinkReason(service);
        service.Close();
        return outcome;
    }
    DcmObj request;
    BuildCommitmentRequest(transaction, instances, request);
    if (!NCommand::WriteActionRQ(service, StorageCommitmentSopClass, StorageCommitmentInstance, 1,
                                 request)) {
        outcome.Reason = "the N-ACTION request could not be sent";
        return outcome;
    }
    NCommand::Response answer = NCommand::ReadRSP(service, NCommand::ActionRSP);
    if (answer.Status != 0) {
        outcome.Reason = "N-ACTION answered with " + NCommand::Describe(answer);
        service.Close();
        return outcome;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (!outcome.Reported && std::chrono::steady_clock::now() < deadline) {
        if (cancel && cancel->load()) {
            outcome.Reason = "cancelled while waiting for the commitment report";
            break;
        }
        // The report may have come in the same read as the N-ACTION-RSP.
        if (service.IsConnected() && service.MessageWaiting()) {
            if (!readReport(service, outcome, "same association"))
                service.link.Link().Close();
            continue;
        }
        if (listener.Listening()) {
            int descriptor = listener.Accept(PollMs);
            if (descriptor >= 0)
                takeReport(descriptor, peer.TimeoutSeconds, outcome);
            continue;
        }
        if (!service.IsConnected()) {
            outcome.Reason = "the peer ended the association without a commitment report, "
                             "and no local port is set for a new one";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(PollMs));
    }
    if (!outcome.Reported && outcome.Reason.empty())
        outcome.Reason =
            "no storage commitment report within " + std::to_string(waitSeconds) + " s";
    if (outcome.Reported && outcome.TransactionUID != transaction)
        LogMessage("WARNING, RequestStorageCommitment, report for transaction " +
                   outcome.TransactionUID + ", requested " + transaction);
    service.Close();
    return outcome;
}
