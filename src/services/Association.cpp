#include "Association.h"

#include "IdentifierCounter.h"
#include "Log.h"

namespace {

std::string title16(const std::string& title) {
    return (title + std::string(16, ' ')).substr(0, 16);
}

} // namespace

bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     const std::string& otherTransferSyntax,
                     const std::string& preferredTransferSyntax, int timeoutSeconds) {
    std::string calling = title16(callingTitle);
    std::string called = title16(calledTitle);
    service.request.SetCallingApTitle(calling);
    service.request.SetCalledApTitle(called);
    service.request.SetApplicationContext(ApplicationContextUid);
    service.link.Link().SetTimeout(timeoutSeconds);
    if (CurrentLogLevel >= 2) {
        LogMessage("INFO, OpenAssociation, Calling Ap. Title: " + calling);
        LogMessage("INFO, OpenAssociation, Called Ap. Title: " + called);
    }
    ResetMessageCounter();
    PresentationContext context(NextContextID());
    context.SetAbstractSyntax(abstractSyntax);
    bool implicitListed = false;
    if (!preferredTransferSyntax.empty()) {
        context.AddTransferSyntax(preferredTransferSyntax);
        implicitListed = preferredTransferSyntax == ImplicitLittleEndian;
    }
    if (!otherTransferSyntax.empty() && otherTransferSyntax != preferredTransferSyntax) {
        context.AddTransferSyntax(otherTransferSyntax);
        implicitListed = implicitListed || otherTransferSyntax == ImplicitLittleEndian;
    }
    if (!implicitListed)
        context.AddTransferSyntax(ImplicitLittleEndian);
    service.request.PresContexts.clear();
    service.request.AddPresentationContext(std::move(context));
    return service.Connect(host, port);
}

bool OpenAssociation(PDU_Service& service, const std::string& callingTitle,
                     const std::string& calledTitle, const std::string& host,
                     const std::string& port, const std::string& abstractSyntax,
                     int timeoutSeconds) {
    return OpenAssociation(service, callingTitle, calledTitle, host, port, abstractSyntax, "", "",
                           timeoutSeconds);
}

CommandSet& CommandSet::Uid(uint16_t element, const std::string& uid) {
    body_->Append(std::make_unique<DcmTag>(0x0000, element, uid, "UI"));
    return *this;
}

CommandSet& CommandSet::UShort(uint16_t element, uint16_t value) {
    body_->Append(std::make_unique<DcmTag>(0x0000, element, value, "US"));
    return *this;
}

CommandSet& CommandSet::Element(std::unique_ptr<DcmTag> element) {
    body_->Append(std::move(element));
    return *this;
}

std::unique_ptr<DcmObj> CommandSet::Build() {
    uint32_t groupLength = 0;
    for (int i = 0; i < body_->Count(); ++i)
        groupLength += 8 + body_->TagAt(i)->length;
    body_->Insert(std::make_unique<DcmTag>(0x0000, 0x0000, groupLength, "UL"), 0);
    return std::move(body_);
}
