#pragma once
// Storage Commitment Push Model, service class user: N-ACTION (Request Storage Commitment)
// with a transaction UID and the instances, then the N-EVENT-REPORT with the peer's answer,
// on the same association or on a new one that the peer opens to our listening port.

#include "NormalizedCommands.h"
#include "StoreFiles.h"

#include <atomic>
#include <string>
#include <vector>

inline constexpr const char* StorageCommitmentSopClass = "1.2.840.10008.1.20.1";
inline constexpr const char* StorageCommitmentInstance = "1.2.840.10008.1.20.1.1";

struct CommitmentReference {
    std::string SopClassUID;
    std::string SopInstanceUID;
    // (0008,1197) of a failed reference; 0 for a committed one.
    int FailureReason = 0;
};

struct CommitmentOutcome {
    // The report arrived (it may still list failures).
    bool Reported = false;
    std::string TransactionUID;
    // "same association" or "new association".
    std::string ReportedOn;
    std::vector<CommitmentReference> Committed;
    std::vector<CommitmentReference> Failed;
    // Why no report arrived, or why the request was refused.
    std::string Reason;
};

// The N-ACTION data set: (0008,1195) the transaction UID, (0008,1199) one item per instance.
void BuildCommitmentRequest(const std::string& transactionUid,
                            const std::vector<StoredInstance>& instances, DcmObj& dataSet);
// Fills the outcome's transaction, committed (0008,1199) and failed (0008,1198) references.
void ReadCommitmentReport(DcmObj& report, CommitmentOutcome& outcome);

// Sends the request and waits up to waitSeconds for the report. localPort: where the peer may
// open a new association for it (listening from before the request until the report), 0 for
// the same association only. cancel, when set, ends the wait.
CommitmentOutcome RequestStorageCommitment(const ServicePeer& peer,
                                           const std::vector<StoredInstance>& instances,
                                           int localPort, int waitSeconds,
                                           const std::atomic<bool>* cancel = nullptr);
