#pragma once
// What a peer accepts: the service classes this tool knows and every storage SOP class of the
// UID tables, each with eleven transfer syntaxes, proposed in as few associations as the limit
// of 128 presentation contexts per association allows.
//
// Rounds: first one context per class holding all eleven syntaxes (the peer picks one, or
// rejects the class); then, for each class accepted, one context per other syntax, to learn
// every syntax the peer takes for it. Contexts are packed 128 to an association; each
// association is released.

#include "ConnectionDiagnosis.h"

#include <string>
#include <vector>

// The eleven transfer syntaxes proposed, in the table's column order.
struct ProbeSyntax {
    const char* Uid;
    const char* Label;
};
const std::vector<ProbeSyntax>& ProbeTransferSyntaxes();

struct ProbeClass {
    std::string Uid;
    std::string Name;
    bool Storage = false;
    // Accepted transfer syntaxes, in ProbeTransferSyntaxes order; empty: rejected.
    std::vector<std::string> Accepted;
    // The result of the first round's context when rejected (1..4), else 0.
    int Result = 0;
};

struct ProbeResult {
    // Every round was answered and released.
    bool Completed = false;
    // Why not, as a job's reason.
    std::string Reason;
    int Associations = 0;
    long Milliseconds = 0;
    std::vector<ProbeClass> Classes;
};

// The classes proposed: the service classes first, then the storage classes.
std::vector<ProbeClass> ProbeClasses();

ProbeResult ProbePeer(const ConnectionSettings& settings);

// "N of M storage classes accepted; rejected: A, B" ("rejected: none" when all were taken).
std::string ProbeSummary(const ProbeResult& result);
// The table: a header of syntax labels, one row per accepted class with its name and a check
// mark under each accepted syntax; then the summary.
std::vector<std::string> ProbeTableLines(const ProbeResult& result);
