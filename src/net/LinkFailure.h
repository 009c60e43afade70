#pragma once
// Why the link to the peer failed, recorded where it failed: the raw facts (codes, bytes,
// seconds), not words. The services turn it into a reason for the engineer.

#include <cstdint>
#include <string>

enum class LinkFault {
    None,
    UnknownPort,     // Text: the port as given
    ResolveFailed,   // Text: the host; Code: the resolver's error (EAI_*)
    Refused,         // Text: address:port; Code: errno
    ConnectTimedOut, // Text: address:port; Seconds
    ConnectFailed,   // Text: address:port; Code: errno (unreachable and the like)
    TlsSetup,        // Text: what could not be loaded or created
    TlsHandshake,    // Code: SSL_get_error; Detail: OpenSSL reason code; Verify: X509 result;
                     // Text: OpenSSL's error text
    SendTimedOut,    // Seconds
    ReceiveTimedOut, // Seconds
    Reset,           // Code: errno
    Closed,          // the peer ended the connection
    Rejected,        // Result, Source, Reason of the A-ASSOCIATE-RJ
    Aborted,         // Source, Reason of the A-ABORT
    UnexpectedPdu,   // Code: the PDU type received
    Malformed,       // Text: what did not fit
    PeerReleased,    // the peer asked for a release in the middle of a message
    NoUsableContext, // no accepted presentation context with a syntax messages can use
    SourceChanged,   // Text: the file whose values were being sent changed meanwhile
};

struct LinkFailure {
    LinkFault Fault = LinkFault::None;
    int Code = 0;
    int Detail = 0;
    long Verify = 0;
    int Seconds = 0;
    std::uint8_t Result = 0;
    std::uint8_t Source = 0;
    std::uint8_t Reason = 0;
    std::string Text = {};
    // The answer that was awaited when the link failed, "A-ASSOCIATE-AC" for instance; empty
    // when the caller knows better (a DIMSE response).
    std::string Awaited = {};

    explicit operator bool() const { return Fault != LinkFault::None; }
};
