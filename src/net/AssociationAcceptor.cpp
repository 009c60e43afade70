#include "AssociationAcceptor.h"

#include "Log.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t OurMaximumLength = 16384;

// Result field of an accepted or refused presentation context.
constexpr std::uint8_t Acceptance = 0, AbstractSyntaxNotSupported = 3,
                       TransferSyntaxesNotSupported = 4;

void writeTitle(Buffer& link, const std::string& title) {
    std::string field = title.substr(0, 16);
    field.resize(16, ' ');
    link.Write(field);
}

std::string chooseSyntax(const PresentationContext& context, bool anySyntax) {
    for (const char* wanted : {ExplicitLittleEndian, ImplicitLittleEndian})
        for (const UIDitem& ts : context.TrnSyntax)
            if (ts.UID == wanted)
                return wanted;
    if (anySyntax)
        for (const UIDitem& ts : context.TrnSyntax)
            if (IsSelectableTransferSyntax(ts.UID))
                return ts.UID;
    return {};
}

// A-ASSOCIATE-RJ: type 3, reserved, length 4, reserved, result 1 (permanent), source 1
// (service user), reason 1 (no reason given).
void reject(Buffer& link) {
    link << std::uint8_t{3} << std::uint8_t{0} << std::uint32_t{4} << std::uint8_t{0}
         << std::uint8_t{1} << std::uint8_t{1} << std::uint8_t{1};
    link.Flush();
}

} // namespace

bool AssociationListener::Listen(int wantedPort) {
    Close();
    int s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s < 0) {
        LogMessage("ERROR, AssociationListener::Listen, could not create socket");
        return false;
    }
    int reuse = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(wantedPort));
    socklen_t size = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(s, 4) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        LogMessage("ERROR, AssociationListener::Listen, port " + std::to_string(wantedPort) + ": " +
                   std::strerror(errno));
        ::close(s);
        return false;
    }
    fd = s;
    port = ntohs(address.sin_port);
    return true;
}

int AssociationListener::Accept(int timeoutMs) {
    if (fd < 0)
        return -1;
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, timeoutMs) <= 0)
        return -1;
    return ::accept(fd, nullptr, nullptr);
}

void AssociationListener::Close() {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    port = 0;
}

bool AcceptAssociation(PDU_Service& service, int descriptor,
                       const std::function<bool(const std::string&)>& accepts, int timeoutSeconds,
                       bool anySyntax) {
    // Only a real socket can take over an accepted descriptor.
    auto* adopting = dynamic_cast<Socket*>(&service.link.Link());
    if (adopting == nullptr) {
        if (descriptor >= 0)
            ::close(descriptor);
        return false;
    }
    if (!adopting->Adopt(descriptor))
        return false;
    Socket& socket = *adopting;
    socket.SetTimeout(timeoutSeconds);
    std::uint8_t type = 0;
    socket.StartDeadline();
    bool read = service.link.ReadU8(type) && type == PduType::AssociateRQ &&
                service.request.Read(service.link);
    socket.ClearDeadline();
    if (!read) {
        LogMessage("ERROR, AcceptAssociation, no A-ASSOCIATE-RQ");
        socket.Close();
        return false;
    }

    AAssociateAC& ac = service.accept;
    ac = AAssociateAC();
    ac.CalledApTitle = service.request.CalledApTitle;
    ac.CallingApTitle = service.request.CallingApTitle;
    service.AcceptedContexts.clear();
    for (const PresentationContext& proposed : service.request.PresContexts) {
        PresentationContextAccept item;
        item.PresentationContextID = proposed.PresentationContextID;
        std::string syntax = chooseSyntax(proposed, anySyntax);
        if (!accepts(proposed.AbsSyntax.UID))
            item.Result = AbstractSyntaxNotSupported;
        else if (syntax.empty())
            item.Result = TransferSyntaxesNotSupported;
        else
            item.Result = Acceptance;
        item.TrnSyntax.Set(ItemCode::TransferSyntax,
                           syntax.empty() ? ImplicitLittleEndian : syntax);
        item.Length = static_cast<std::uint16_t>(4 + item.TrnSyntax.Size());
        if (item.Result == Acceptance)
            service.AcceptedContexts.push_back(ac.PresContextAccepts.size());
        if (CurrentLogLevel >= 2)
            LogMessage("INFO, AcceptAssociation, context " +
                       std::to_string(item.PresentationContextID) + " " + proposed.AbsSyntax.UID +
                       ": " + (item.Result == Acceptance ? "accepted, " + syntax : "refused"));
        ac.PresContextAccepts.push_back(std::move(item));
    }
    if (service.AcceptedContexts.empty()) {
        LogMessage("ERROR, AcceptAssociation, no presentation context acceptable");
        reject(service.link);
        socket.Close();
        return false;
    }

    ac.UserInfo.SetMaximumLength(OurMaximumLength);
    ac.UserInfo.SetImpClass("1.2.999.1.77.4.999");
    ac.UserInfo.SetImpVersion("Mondevalier");
    std::uint32_t length = AssociateHeaderLength + ac.AppContext.Size() + ac.UserInfo.Size();
    for (const PresentationContextAccept& item : ac.PresContextAccepts)
        length += item.Size();
    Buffer& link = service.link;
    link << std::uint8_t{PduType::AssociateAC} << std::uint8_t{0} << length << std::uint16_t{1}
         << std::uint16_t{0};
    writeTitle(link, ac.CalledApTitle);
    writeTitle(link, ac.CallingApTitle);
    std::uint8_t reserved[32] = {};
    link.Write(reserved, sizeof reserved);
    link.Flush();
    ac.AppContext.Write(link);
    for (const PresentationContextAccept& item : ac.PresContextAccepts) {
        link << item.ItemType << std::uint8_t{0} << item.Length << item.PresentationContextID
             << std::uint8_t{0} << item.Result << std::uint8_t{0};
        item.TrnSyntax.Write(link);
    }
    ac.UserInfo.Write(link);
    if (!socket.IsConnected()) {
        LogMessage("ERROR, AcceptAssociation, A-ASSOCIATE-AC not sent");
        return false;
    }
    // Our messages are cut to what the requester takes (none given: our own size).
    std::uint32_t theirs = service.request.UserInfo.MaxSubLength.MaximumLength;
    ac.UserInfo.MaxSubLength.MaximumLength = theirs == 0 ? OurMaximumLength : theirs;
    service.data.PresentationContextID =
        ac.PresContextAccepts[service.AcceptedContexts.front()].PresentationContextID;
    return true;
}
