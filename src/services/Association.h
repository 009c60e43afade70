#pragma once
// Association set-up shared by every service, and the rules of DIMSE command sets.

#include "PDU_Service.h"

#include <cstdint>
#include <memory>
#include <string>

// Proposes one presentation context for abstractSyntax: the preferred transfer syntax, the
// other one when different, and implicit VR little endian unless already listed; connects.
bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     const std::string& otherTransferSyntax,
                     const std::string& preferredTransferSyntax, int timeoutSeconds);
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
    // Any other element of group 0000, in its place in tag order.
    CommandSet& Element(std::unique_ptr<DcmTag> element);
    // The finished command set, group length first.
    std::unique_ptr<DcmObj> Build();

private:
    std::unique_ptr<DcmObj> body_ = std::make_unique<DcmObj>();
};
