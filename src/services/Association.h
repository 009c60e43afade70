#pragma once
// Association set-up shared by every service, and the rules of DIMSE command sets.

#include "PDU_Service.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Everything an association is opened with. The transfer syntaxes may be empty. Every member
// has an initializer, so a designated initializer may leave any out.
struct AssociationRequest {
    std::string callingTitle{};
    std::string calledTitle{};
    std::string host{};
    std::string port{};
    std::string abstractSyntax{};
    std::string otherTransferSyntax{};
    std::string preferredTransferSyntax{};
    int timeoutSeconds = 30;
    // When not empty: one presentation context per entry, in this order, each with its transfer
    // syntaxes (the order is the order of preference when several are accepted); the two
    // syntaxes above are then not used.
    std::vector<std::vector<std::string>> contexts{};
};

// An AE title as the PDUs carry it: padded or cut to 16 characters.
std::string PaddedTitle(const std::string& title);

// Titles, application context and time-out of a request, no contexts yet; restarts the message
// IDs. For callers that propose contexts of their own before Connect.
void PrepareAssociation(PDU_Service& service, const std::string& callingTitle,
                        const std::string& calledTitle, int timeoutSeconds);

// Proposes the preferred transfer syntax in a context of its own, the other one in another when
// different, and implicit VR little endian in a third unless already proposed; connects. With
// both transfer syntaxes empty only implicit VR little endian is proposed.
bool OpenAssociation(PDU_Service& service, const AssociationRequest& request);

// A command set under construction: elements appended in tag order, then the group length
// (0000,0000) computed from them and put in front.
class CommandSet {
public:
    CommandSet& Uid(uint16_t element, const std::string& uid);
    CommandSet& UShort(uint16_t element, uint16_t value);
    // Any other element of group 0000, in its place in tag order.
    CommandSet& Element(std::unique_ptr<DcmTag> element);
    // The finished command set, group length first.
    std::unique_ptr<DcmObj> Build();

private:
    std::unique_ptr<DcmObj> body_ = std::make_unique<DcmObj>();
};
