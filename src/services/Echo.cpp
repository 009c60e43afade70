#include "Echo.h"

#include "Association.h"
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

bool CEcho::ReadRSP(PDU_Service& service) {
    DcmObj response;
    if (!service.Read(response))
        return false;
    return response.GetUShort(0x0000, 0x0100) == 0x8030 &&
           response.GetUShort(0x0000, 0x0900) == 0 && response.GetTag(0x0000, 0x0900) != nullptr;
}

bool WriteEchoRQ(PDU_Service& service, const std::string& sopClassUid) {
    return CEcho::WriteRQ(service, sopClassUid);
}

bool ReadEchoRSP(PDU_Service& service) {
    return CEcho::ReadRSP(service);
}

bool EchoSCU(const std::string& callingTitle, const std::string& calledTitle,
             const std::string& host, const std::string& port, int timeoutSeconds,
             const TlsOptions& tls) {
    PDU_Service service;
    service.dumpMessages = CurrentLogLevel >= 2;
    service.SetTls(tls);
    bool result = false;
    if (!OpenAssociation(service, {.callingTitle = callingTitle,
                                   .calledTitle = calledTitle,
                                   .host = host,
                                   .port = port,
                                   .abstractSyntax = VerificationSopClass,
                                   .timeoutSeconds = timeoutSeconds}))
        LogMessage("ERROR, EchoSCU, OpenAssoc failed");
    else if (!WriteEchoRQ(service, VerificationSopClass))
        LogMessage("ERROR, EchoSCU, WriteEchoRQ failed");
    else
        result = ReadEchoRSP(service);
    service.Close();
    return result;
}
