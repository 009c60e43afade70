#include "Association.h"

#include "IdentifierCounter.h"
#include "Log.h"

std::string PaddedTitle(const std::string& title) {
    return (title + std::string(16, ' ')).substr(0, 16);
}

void PrepareAssociation(PDU_Service& service, const std::string& callingTitle,
                        const std::string& calledTitle, int timeoutSeconds) {
    service.request.SetCallingApTitle(PaddedTitle(callingTitle));
    service.request.SetCalledApTitle(PaddedTitle(calledTitle));
    service.request.SetApplicationContext(ApplicationContextUid);
    service.link.Link().SetTimeout(timeoutSeconds);
    service.request.PresContexts.clear();
    ResetMessageCounter();
}

bool OpenAssociation(PDU_Service& service, const AssociationRequest& request) {
    PrepareAssociation(service, request.callingTitle, request.calledTitle, request.timeoutSeconds);
    if (CurrentLogLevel >= 2) {
        LogMessage("INFO, OpenAssociation, Calling Ap. Title: " +
                   PaddedTitle(request.callingTitle));
        LogMessage("INFO, OpenAssociation, Called Ap. Title: " + PaddedTitle(request.calledTitle));
    }
    std::vector<std::vector<std::string>> contexts = request.contexts;
    if (contexts.empty()) {
        const std::string& preferred = request.preferredTransferSyntax;
        const std::string& other = request.otherTransferSyntax;
        if (!preferred.empty())
            contexts.push_back({preferred});
        if (!other.empty() && other != preferred)
            contexts.push_back({other});
        if (preferred != ImplicitLittleEndian && other != ImplicitLittleEndian)
            contexts.push_back({ImplicitLittleEndian});
    }
    service.request.PresContexts.clear();
    for (const std::vector<std::string>& syntaxes : contexts) {
        if (syntaxes.empty())
            continue;
        PresentationContext context(NextContextID());
        context.SetAbstractSyntax(request.abstractSyntax);
        for (const std::string& uid : syntaxes)
            context.AddTransferSyntax(uid);
        service.request.AddPresentationContext(std::move(context));
    }
    return service.Connect(request.host, request.port);
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
