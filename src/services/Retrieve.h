#pragma once
// Retrieve as a service class user, Study Root or Patient Root, at study, series or image
// level: C-MOVE to our own AE title, the objects arriving on associations the peer opens to
// our listening port, and C-GET, the objects arriving as C-STORE requests on the same
// association (SCP role proposed for the storage classes). Every object received is written,
// as it came, to a DICOM file in the receive directory.

#include "LevelQuery.h"
#include "NormalizedCommands.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr const char* StudyRootMoveSopClass = "1.2.840.10008.5.1.4.1.2.2.2";
inline constexpr const char* StudyRootGetSopClass = "1.2.840.10008.5.1.4.1.2.2.3";
inline constexpr const char* PatientRootMoveSopClass = "1.2.840.10008.5.1.4.1.2.1.2";
inline constexpr const char* PatientRootGetSopClass = "1.2.840.10008.5.1.4.1.2.1.3";

// The storage classes a C-GET proposes, each in a context of its own with the SCP role.
std::vector<std::string> RetrieveStorageClasses();

struct RetrieveOptions {
    // The level and its keys, as for a query at that level.
    LevelQuery Keys;
    // Where the received files go; created when missing.
    std::string ReceiveDir;
    // C-MOVE: the port our storage side listens on (0: none, which fails the move); the move
    // destination is the peer's calling title.
    int LocalPort = 0;
    // Set from any thread: the association is aborted at the next check.
    const std::atomic<bool>* Cancel = nullptr;
    // Called on the retrieving thread after each object received: the file, its result, and
    // the sub-operations the last response said remained (this one included).
    std::function<void(const std::string& file, const std::string& result, int remaining)> Received;
};

struct RetrieveOutcome {
    // The final response's status; -1 when none arrived.
    int Status = -1;
    // The sub-operation counts of the last response that carried them.
    int Completed = 0, Failed = 0, Warning = 0, Remaining = 0;
    // The files written, in arrival order.
    std::vector<std::string> Files;
    // Objects that arrived but could not be written: instance UID and why.
    std::vector<std::pair<std::string, std::string>> NotWritten;
    // (0008,0058) of the final response: the instances the peer could not send.
    std::vector<std::string> FailedInstances;
    // Empty when every sub-operation completed and every object was written.
    std::string Reason;
};

// The identifier: (0008,0052) the level, the patient ID for the Patient Root, and the unique
// keys down to the level.
void BuildRetrieveIdentifier(const LevelQuery& keys, DcmObj& identifier);

// The file name of a received instance inside the receive directory: the UID with any
// character outside digits and full stops replaced, and ".dcm".
std::string ReceivedFileName(const std::string& sopInstanceUid);

// "destination unknown" and the other meanings of the retrieve statuses, for Reason lines.
std::string RetrieveStatusReason(const char* operation, int status, const std::string& comment,
                                 const std::string& destination);

RetrieveOutcome MoveSCU(const ServicePeer& peer, const RetrieveOptions& options);
RetrieveOutcome GetSCU(const ServicePeer& peer, const RetrieveOptions& options);
