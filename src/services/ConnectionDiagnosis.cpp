#include "ConnectionDiagnosis.h"

#include "Association.h"
#include "Diagnosis.h"
#include "Echo.h"
#include "Log.h"
#include "Socket.h"

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

long millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// The one hint for the failure of a step: the likely cause, and where to look.
std::string hintFor(const LinkFailure& f, const ConnectionSettings& s) {
    switch (f.Fault) {
    case LinkFault::UnknownPort:
        return "the port is not a number: check the Remote Port in Setup";
    case LinkFault::ResolveFailed:
        return "the host name is unknown here: check the Remote Host in Setup, or give its "
               "address";
    case LinkFault::Refused:
        return "nothing listens there: check the port";
    case LinkFault::ConnectTimedOut:
    case LinkFault::ReceiveTimedOut:
    case LinkFault::SendTimedOut:
        return "no answer: check host, firewall, or whether the peer expects TLS";
    case LinkFault::ConnectFailed:
        return "the address cannot be reached: check the host and the network";
    case LinkFault::TlsSetup:
        return "check the certificate and key files";
    case LinkFault::TlsHandshake:
        return "the peer does not complete TLS with this side: check whether it expects TLS at "
               "all, and its certificate";
    case LinkFault::Rejected:
        if (f.Result == 2)
            return "the peer is busy for now: try again later";
        if (f.Source == 1 && f.Reason == 7)
            return "the peer does not know the called AE title: Remote AET is '" + s.CalledTitle +
                   "'";
        if (f.Source == 1 && f.Reason == 3)
            return "the peer does not know this side: Local AET is '" + s.CallingTitle +
                   "'; add it to the peer's list of known AEs";
        return "the peer refuses this association: check its configuration for this AE";
    case LinkFault::Aborted:
        return "the peer gave up the association: its log says why";
    case LinkFault::Closed:
    case LinkFault::Reset:
        return s.UseTls ? "the peer closed the connection: check whether it expects TLS"
                        : "the peer closed the connection: it may expect TLS, or refuse this "
                          "Local AET";
    case LinkFault::UnexpectedPdu:
        if (f.Code == 0x15 || f.Code == 0x16)
            return "the peer expects TLS: switch TLS on in Setup";
        return "the peer does not speak DICOM there: check the port";
    case LinkFault::NoUsableContext:
        return "the peer does not offer Verification: check its configuration";
    case LinkFault::SourceChanged:
        return "the file changed while it was read: send it again once nothing writes to it";
    case LinkFault::Malformed:
    case LinkFault::PeerReleased:
    case LinkFault::None:
        break;
    }
    return "the peer broke off: its log says why";
}

class Stopwatch {
public:
    long Lap() {
        Clock::time_point now = Clock::now();
        long ms = millisecondsBetween(last, now);
        last = now;
        return ms;
    }

private:
    Clock::time_point last = Clock::now();
};

} // namespace

ConnectionDiagnosis DiagnoseConnection(const ConnectionSettings& s) {
    ConnectionDiagnosis result;
    auto fail = [&](DiagnosisStep step, const LinkFailure& failure, std::string reason) {
        step.Passed = false;
        result.Steps.push_back(std::move(step));
        result.Reason = std::move(reason);
        result.Hint = hintFor(failure, s);
        return result;
    };

    // 1. Every address of the host.
    Stopwatch watch;
    int lookupError = 0;
    std::vector<std::string> addresses = ResolveAddresses(s.Host, lookupError);
    DiagnosisStep resolve{"Resolve " + s.Host, !addresses.empty(), watch.Lap(), {}};
    if (addresses.empty()) {
        LinkFailure f{.Fault = LinkFault::ResolveFailed, .Code = lookupError, .Text = s.Host};
        return fail(resolve, f, Diagnosis::LinkText(f));
    }
    for (const std::string& address : addresses)
        resolve.Detail += (resolve.Detail.empty() ? "" : ", ") + address;
    result.Steps.push_back(resolve);

    // 2-4. The association, its steps timed by the association service.
    PDU_Service service;
    TlsOptions tls = s.Tls;
    tls.enabled = s.UseTls;
    service.SetTls(tls);
    service.dumpMessages = CurrentLogLevel >= 2;
    bool associated = OpenAssociation(service, {.callingTitle = s.CallingTitle,
                                                .calledTitle = s.CalledTitle,
                                                .host = s.Host,
                                                .port = s.Port,
                                                .abstractSyntax = VerificationSopClass,
                                                .timeoutSeconds = s.TimeoutSeconds});
    const PDU_Service::ConnectTimes& t = service.Times;
    LinkFailure failure = service.Failure();
    std::string reason = associated ? std::string() : Diagnosis::LinkReason(service);

    DiagnosisStep tcp{"TCP connect", t.Tcp.has_value(), 0, {}};
    tcp.Milliseconds = millisecondsBetween(t.Start, t.Tcp.value_or(Clock::now()));
    if (!t.Tcp)
        return fail(tcp, failure, reason);
    tcp.Detail = service.link.Link().PeerAddress() + " port " + s.Port;
    result.Steps.push_back(tcp);
    Clock::time_point afterLink = *t.Tcp;

    if (s.UseTls) {
        DiagnosisStep tls{"TLS", t.Tls.has_value(), 0, {}};
        tls.Milliseconds = millisecondsBetween(*t.Tcp, t.Tls.value_or(Clock::now()));
        if (!t.Tls)
            return fail(tls, failure, reason);
        TlsSessionInfo info = service.link.Link().TlsInfo();
        tls.Detail = info.Protocol + ", " + info.Cipher + "; peer certificate: subject " +
                     info.PeerSubject + ", issuer " + info.PeerIssuer + ", expires " +
                     info.PeerExpiry;
        result.Steps.push_back(tls);
        afterLink = *t.Tls;
    }

    DiagnosisStep associate{"A-ASSOCIATE (Verification)", associated, 0, {}};
    associate.Milliseconds = millisecondsBetween(afterLink, t.Answer.value_or(Clock::now()));
    if (!associated) {
        service.Close();
        return fail(associate, failure, reason);
    }
    const UserInformation& info = service.accept.UserInfo;
    const std::string& accepted = service.Negotiation().transferSyntax;
    auto orNone = [](const std::string& text) { return text.empty() ? "(none)" : text; };
    associate.Detail = "maximum PDU length " + std::to_string(info.MaxSubLength.MaximumLength) +
                       ", implementation class UID " + orNone(info.ImpClass.UID) +
                       ", version name " + orNone(info.ImpVersion.UID) + ", transfer syntax " +
                       Diagnosis::UidWithName(accepted);
    result.Steps.push_back(associate);

    // 5. The verification itself.
    watch.Lap();
    std::string echoReason;
    bool echoed = WriteEchoRQ(service, VerificationSopClass);
    if (!echoed)
        echoReason = Diagnosis::LinkReason(service, "sending the C-ECHO-RQ");
    else
        echoed = CEcho::ReadRSP(service, &echoReason);
    DiagnosisStep echo{"C-ECHO", echoed, watch.Lap(), echoed ? "status 0x0000 success" : ""};
    if (!echoed) {
        LinkFailure echoFailure = service.Failure();
        service.Close();
        result.Steps.push_back(echo);
        result.Reason = echoReason;
        result.Hint = echoFailure ? hintFor(echoFailure, s)
                                  : "the peer refused the verification: its log says why";
        return result;
    }
    result.Steps.push_back(echo);

    // 6. The release: the peer must answer it.
    watch.Lap();
    service.Close();
    LinkFailure released = service.Failure();
    DiagnosisStep release{"A-RELEASE", !released, watch.Lap(), {}};
    if (released)
        return fail(release, released, Diagnosis::LinkText(released, "awaiting the A-RELEASE-RP"));
    result.Steps.push_back(release);
    result.Passed = true;
    return result;
}

std::vector<std::string> DiagnosisLines(const ConnectionDiagnosis& d) {
    std::vector<std::string> lines;
    int number = 0;
    for (const DiagnosisStep& step : d.Steps) {
        std::string line = std::string(step.Passed ? "\u2713 " : "\u2717 ") +
                           std::to_string(++number) + ". " + step.Name;
        if (!step.Detail.empty())
            line += ": " + step.Detail;
        line += " (" + std::to_string(step.Milliseconds) + " ms)";
        lines.push_back(line);
    }
    if (!d.Passed) {
        lines.push_back("Reason: " + d.Reason);
        lines.push_back("Hint: " + d.Hint);
    }
    lines.push_back(d.Passed ? "DIAGNOSE OK" : "DIAGNOSE failed");
    return lines;
}
