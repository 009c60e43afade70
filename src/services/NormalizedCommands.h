#pragma once
// Peers and normalized (N-) messages shared by the workflow services: performed procedure step,
// storage commitment. The print service keeps its own.

#include "PDU_Service.h"

#include <cstdint>
#include <string>

// The remote application entity and how to reach it.
struct ServicePeer {
    std::string CallingTitle;
    std::string CalledTitle;
    std::string Host;
    std::string Port;
    int TimeoutSeconds = 30;
    TlsOptions Tls;
};

// Implicit VR little endian, one context for sopClass.
bool OpenServiceAssociation(PDU_Service& service, const ServicePeer& peer,
                            const std::string& sopClass);

// A new UID below the program's root, unique across runs (time, process, counter).
std::string NewUid();

// Today's date (YYYYMMDD) and the time of day (HHMMSS), local.
std::string DicomDate();
std::string DicomTime();

namespace NCommand {
constexpr uint16_t EventReportRQ = 0x0100, EventReportRSP = 0x8100;
constexpr uint16_t SetRQ = 0x0120, SetRSP = 0x8120;
constexpr uint16_t ActionRQ = 0x0130, ActionRSP = 0x8130;
constexpr uint16_t CreateRQ = 0x0140, CreateRSP = 0x8140;

// Each sends the command set, then the data set.
bool WriteCreateRQ(PDU_Service& service, const std::string& sopClass, const std::string& instance,
                   DcmObj& dataSet);
bool WriteSetRQ(PDU_Service& service, const std::string& sopClass, const std::string& instance,
                DcmObj& dataSet);
bool WriteActionRQ(PDU_Service& service, const std::string& sopClass, const std::string& instance,
                   uint16_t actionType, DcmObj& dataSet);

struct Response {
    // -1 when no response could be read, -2 for a message of another command.
    int Status = -1;
    std::string AffectedInstance;
    std::string ErrorComment;
};
// Reads one response of the expected command, and its data set into dataSet (when given and
// one follows).
Response ReadRSP(PDU_Service& service, uint16_t expectedCommand, DcmObj* dataSet = nullptr);

// "status 0110 (Processing failure): comment" or "no response"; for Reason lines.
std::string Describe(const Response& response);
} // namespace NCommand
