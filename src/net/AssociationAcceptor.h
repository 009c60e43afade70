#pragma once
// The listening side: a TCP port on which peers open associations to us (a storage
// commitment report on a new association, the storage of a C-MOVE), and the acceptance of
// such an association so that PDU_Service reads and writes on it as on one of our own.

#include "PDU_Service.h"

#include <functional>
#include <string>

class AssociationListener {
public:
    AssociationListener() = default;
    ~AssociationListener() { Close(); }
    AssociationListener(const AssociationListener&) = delete;
    AssociationListener& operator=(const AssociationListener&) = delete;

    // Every interface, the given port; false with a log line when it cannot be bound.
    bool Listen(int port);
    bool Listening() const { return fd >= 0; }
    int Port() const { return port; }
    // The next connection within timeoutMs, as a descriptor the caller owns; -1 for none.
    int Accept(int timeoutMs);
    void Close();

private:
    int fd = -1;
    int port = 0;
};

// Reads the A-ASSOCIATE-RQ on the accepted connection (within timeoutSeconds) and answers it:
// a context is accepted when accepts(abstract syntax) holds and it proposes explicit or
// implicit VR little endian (explicit preferred), refused otherwise; with anySyntax (a storage
// receiver, which keeps the data set as it came) failing those the first proposed syntax a
// message can be carried in. Without any accepted
// context the answer is an A-ASSOCIATE-RJ and the result false. On success the service holds
// the request (titles, contexts) and the accept, ready for Read, Write and Close; its own
// Close then sends the release, and a peer's release is answered by Read.
bool AcceptAssociation(PDU_Service& service, int descriptor,
                       const std::function<bool(const std::string&)>& accepts, int timeoutSeconds,
                       bool anySyntax = false);
