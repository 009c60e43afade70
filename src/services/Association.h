#pragma once
// Association set-up shared by every service, and the rules of DIMSE command sets.

#include "PDU_Service.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Proposes the preferred transfer syntax in a context of its own, the other one in another
// when different, and implicit VR little endian in a third unless already proposed; connects.
bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     const std::string& otherTransferSyntax,
                     const std::string& preferredTransferSyntax, int timeoutSeconds);
// One presentation context for abstractSyntax per entry of contexts, in this order, each with
// its transfer syntaxes; the order is the order of preference when several are accepted.
bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     const std::vector<std::vector<std::string>>& contexts, int timeoutSeconds);
// Implicit VR little endian only.
bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     int timeoutSeconds);

// A command set under construction: elements appended in tag order, then the group length
// (0000,0000) computed from them and put in front.
class CommandSet {
public:
    CommandSet& Uid(uint16_t element, const std::string& uid);
    CommandSet& UShort(uint16_t element, uint16_t value);
    // The finished command set, group length first.
    std::unique_ptr<DcmObj> Build();

private:
    std::unique_ptr<DcmObj> body_ = std::make_unique<DcmObj>();
};
