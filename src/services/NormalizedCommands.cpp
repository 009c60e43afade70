#include "NormalizedCommands.h"

#include "Association.h"
#include "IdentifierCounter.h"
#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>

#include <unistd.h>

namespace {

constexpr uint16_t DataSetFollows = 0x0102;
// The implementation class UID's root, with a branch of its own for the instances we make.
constexpr const char* UidRoot = "1.2.999.1.77.4.999.18.";

std::string trimmedUid(const DcmTag& tag) {
    std::string text = tag.GetString();
    while (!text.empty() && (text.back() == '\0' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool send(PDU_Service& service, std::unique_ptr<DcmObj> command, DcmObj& dataSet,
          const char* place) {
    if (!service.Write(*command, 1) || !service.Write(dataSet, 0)) {
        LogMessage(std::string("ERROR, ") + place + ", PDU->Write DCO failed");
        return false;
    }
    return true;
}

std::string localTime(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

} // namespace

bool OpenServiceAssociation(PDU_Service& service, const ServicePeer& peer,
                            const std::string& sopClass) {
    service.dumpMessages = CurrentLogLevel >= 2;
    service.SetTls(peer.Tls);
    return OpenAssociation(service, {.callingTitle = peer.CallingTitle,
                                     .calledTitle = peer.CalledTitle,
                                     .host = peer.Host,
                                     .port = peer.Port,
                                     .abstractSyntax = sopClass,
                                     .timeoutSeconds = peer.TimeoutSeconds});
}

std::string NewUid() {
    static std::atomic<unsigned> counter{0};
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    return UidRoot + std::to_string(micros) + "." + std::to_string(::getpid()) + "." +
           std::to_string(++counter);
}

std::string DicomDate() {
    return localTime("%Y%m%d");
}

std::string DicomTime() {
    return localTime("%H%M%S");
}

bool NCommand::WriteCreateRQ(PDU_Service& service, const std::string& sopClass,
                             const std::string& instance, DcmObj& dataSet) {
    CommandSet command;
    command.Uid(0x0002, sopClass)
        .UShort(0x0100, CreateRQ)
        .UShort(0x0110, NextMessageID())
        .UShort(0x0800, DataSetFollows);
    if (!instance.empty())
        command.Uid(0x1000, instance);
    return send(service, command.Build(), dataSet, "NCommand::WriteCreateRQ");
}

bool NCommand::WriteSetRQ(PDU_Service& service, const std::string& sopClass,
                          const std::string& instance, DcmObj& dataSet) {
    CommandSet command;
    command.Uid(0x0003, sopClass)
        .UShort(0x0100, SetRQ)
        .UShort(0x0110, NextMessageID())
        .UShort(0x0800, DataSetFollows)
        .Uid(0x1001, instance);
    return send(service, command.Build(), dataSet, "NCommand::WriteSetRQ");
}

bool NCommand::WriteActionRQ(PDU_Service& service, const std::string& sopClass,
                             const std::string& instance, uint16_t actionType, DcmObj& dataSet) {
    CommandSet command;
    command.Uid(0x0003, sopClass)
        .UShort(0x0100, ActionRQ)
        .UShort(0x0110, NextMessageID())
        .UShort(0x0800, DataSetFollows)
        .Uid(0x1001, instance)
        .UShort(0x1008, actionType);
    return send(service, command.Build(), dataSet, "NCommand::WriteActionRQ");
}

NCommand::Response NCommand::ReadRSP(PDU_Service& service, uint16_t expectedCommand,
                                     DcmObj* dataSet) {
    Response out;
    DcmObj response;
    if (!service.Read(response)) {
        LogMessage("ERROR, NCommand::ReadRSP, PDU->Read DCO failed");
        return out;
    }
    if (response.GetUShort(0x0000, 0x0100) != expectedCommand || !response.GetTag(0x0000, 0x0900)) {
        LogMessage("ERROR, NCommand::ReadRSP, not the expected response");
        out.Status = -2;
        return out;
    }
    out.Status = response.GetUShort(0x0000, 0x0900);
    if (const DcmTag* affected = response.GetTag(0x0000, 0x1000))
        out.AffectedInstance = trimmedUid(*affected);
    if (const DcmTag* comment = response.GetTag(0x0000, 0x0902))
        out.ErrorComment = comment->GetString();
    if (out.Status != 0)
        LogMessage("ERROR, NCommand::ReadRSP, status == " + std::to_string(out.Status));
    if (response.GetUShort(0x0000, 0x0800) != 0x0101) {
        DcmObj ignored;
        if (!service.Read(dataSet ? *dataSet : ignored))
            out.Status = -1;
    }
    return out;
}

std::string NCommand::Describe(const Response& r) {
    if (r.Status == -1)
        return "no response";
    if (r.Status == -2)
        return "an unexpected message instead of the response";
    char code[16];
    std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(r.Status));
    std::string text = std::string("status ") + code;
    if (!r.ErrorComment.empty())
        text += ": " + r.ErrorComment;
    return text;
}
