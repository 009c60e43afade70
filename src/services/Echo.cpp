#include "Echo.h"

#include "Association.h"
#include "Diagnosis.h"
#include "IdentifierCounter.h"
#include "Log.h"

bool CEcho::WriteRQ(PDU_Service& service, const std::string& sopClassUid) {
    std::unique_ptr<DcmObj> command = CommandSet()
                                          .Uid(0x0002, sopClassUid)
                                          .UShort(0x0100, 0x0030)
                                          .UShort(0x0110, NextMessageID())
                                          .UShort(0x0800, 0x0101)
                                          .Build();
    return service.Write(*command, 1);
}

bool CEcho::ReadRSP(PDU_Service& service, std::string* reason) {
    DcmObj response;
    if (!service.Read(response)) {
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "awaiting the C-ECHO-RSP"));
        return false;
    }
    if (response.GetUShort(0x0000, 0x0100) != 0x8030) {
        Diagnosis::NoteReason(reason, "C-ECHO: the peer answered with another message than a "
                                      "C-ECHO-RSP");
        return false;
    }
    DimseStatus status = ReadDimseStatus(response);
    if (status.Status != 0) {
        Diagnosis::NoteReason(reason, status.Status < 0
                                          ? "C-ECHO: the C-ECHO-RSP holds no status"
                                          : Diagnosis::StatusReason("C-ECHO", status));
        return false;
    }
    return true;
}

bool WriteEchoRQ(PDU_Service& service, const std::string& sopClassUid) {
    return CEcho::WriteRQ(service, sopClassUid);
}

bool ReadEchoRSP(PDU_Service& service) {
    return CEcho::ReadRSP(service);
}

bool EchoSCU(const std::string& callingTitle, const std::string& calledTitle,
             const std::string& host, const std::string& port, int timeoutSeconds,
             const TlsOptions& tls, std::string* reason) {
    PDU_Service service;
    service.dumpMessages = CurrentLogLevel >= 2;
    service.SetTls(tls);
    bool result = false;
    if (!OpenAssociation(service, {.callingTitle = callingTitle,
                                   .calledTitle = calledTitle,
                                   .host = host,
                                   .port = port,
                                   .abstractSyntax = VerificationSopClass,
                                   .timeoutSeconds = timeoutSeconds})) {
        LogMessage("ERROR, EchoSCU, OpenAssoc failed");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service));
    } else if (!WriteEchoRQ(service, VerificationSopClass)) {
        LogMessage("ERROR, EchoSCU, WriteEchoRQ failed");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "sending the C-ECHO-RQ"));
    } else {
        result = CEcho::ReadRSP(service, reason);
    }
    service.Close();
    return result;
}
