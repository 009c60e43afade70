#include "AssociationItems.h"

#include "Log.h"

namespace {

void info(const std::string& line) {
    if (CurrentLogLevel >= 2)
        LogMessage(line);
}

std::string num(unsigned value) {
    return std::to_string(value);
}

} // namespace

void UIDitem::Set(const std::string& value) {
    UID = value.substr(0, MaxUidLength);
    Length = static_cast<std::uint16_t>(UID.size());
}

void UIDitem::Set(std::uint8_t type, const std::string& value) {
    ItemType = type;
    Reserved1 = 0;
    Set(value);
}

bool UIDitem::Write(Buffer& link) const {
    link << ItemType << Reserved1 << Length;
    // Length and value agree for every item this side builds; pad rather than overrun if not.
    std::string value = UID;
    value.resize(Length, '\0');
    link.Write(value);
    return link.Flush();
}

ItemResult UIDitem::Read(BoundedReader& in) {
    if (!in.U8(Reserved1) || !in.U16(Length)) {
        if (!in.LinkFailed())
            LogMessage("ERROR, UIDitem::Read, item header beyond enclosing item");
        return ItemResult::Broken;
    }
    if (!in.Has(Length)) {
        LogMessage("ERROR, UIDitem::Read, length " + num(Length) + " beyond enclosing item");
        return ItemResult::Broken;
    }
    return in.Text(Length, UID, MaxUidLength) ? ItemResult::Ok : ItemResult::Broken;
}

void PresentationContext::AddTransferSyntax(const std::string& uid) {
    UIDitem item(ItemCode::TransferSyntax);
    item.Set(uid);
    TrnSyntax.push_back(std::move(item));
}

std::uint32_t PresentationContext::Size() {
    std::uint32_t length = 4 + AbsSyntax.Size();
    for (const UIDitem& ts : TrnSyntax)
        length += ts.Size();
    Length = static_cast<std::uint16_t>(length);
    return Length + 4u;
}

bool PresentationContext::Write(Buffer& link) {
    link << ItemType << Reserved1 << Length << PresentationContextID << Reserved2 << Reserved3
         << Reserved4;
    info("INFO, PresentationContext::Write");
    info("ItemType: " + num(ItemType));
    info("Reserved1: " + num(Reserved1));
    info("Length: " + num(Length));
    info("PresentationContextID: " + num(PresentationContextID));
    info("Reserved2: " + num(Reserved2));
    info("Reserved3: " + num(Reserved3));
    info("Reserved4: " + num(Reserved4));
    if (!link.Flush() || !AbsSyntax.Write(link))
        return false;
    info("AbsSyntax: " + AbsSyntax.UID);
    if (TrnSyntax.empty()) {
        LogMessage("ERROR, PresentationContext::Write");
        return false;
    }
    for (const UIDitem& ts : TrnSyntax) {
        if (!ts.Write(link))
            return false;
        info("TrnSyntax: " + ts.UID);
    }
    return true;
}

ItemResult PresentationContext::Read(BoundedReader& in) {
    if (!in.U8(Reserved1) || !in.U16(Length) || !in.Has(Length)) {
        if (!in.LinkFailed())
            LogMessage("ERROR, PresentationContext::Read, length " + num(Length) +
                       " beyond enclosing item");
        return ItemResult::Broken;
    }
    BoundedReader body = in.Sub(Length);
    TrnSyntax.clear();
    std::uint8_t type = 0;
    if (!body.U8(PresentationContextID) || !body.U8(Reserved2) || !body.U8(Reserved3) ||
        !body.U8(Reserved4) || !body.U8(type)) {
        if (body.LinkFailed())
            return ItemResult::Broken;
        LogMessage("WARNING, PresentationContext::Read Count=" + std::to_string(Length));
        return body.SkipRest() ? ItemResult::Malformed : ItemResult::Broken;
    }
    AbsSyntax.ItemType = type;
    ItemResult result = AbsSyntax.Read(body);
    while (result == ItemResult::Ok && body.Remaining() > 0) {
        UIDitem ts;
        if (!body.U8(ts.ItemType)) {
            result = ItemResult::Broken;
            break;
        }
        result = ts.Read(body);
        if (result == ItemResult::Ok)
            TrnSyntax.push_back(std::move(ts));
    }
    if (body.LinkFailed())
        return ItemResult::Broken;
    if (result != ItemResult::Ok) {
        LogMessage("WARNING, PresentationContext::Read Count=" + std::to_string(body.Remaining()));
        return body.SkipRest() ? ItemResult::Malformed : ItemResult::Broken;
    }
    return ItemResult::Ok;
}

ItemResult PresentationContextAccept::Read(BoundedReader& in) {
    if (!in.U8(Reserved1) || !in.U16(Length) || !in.Has(Length)) {
        if (!in.LinkFailed())
            LogMessage("ERROR, PresentationContextAccept::Read, length " + num(Length) +
                       " beyond enclosing item");
        return ItemResult::Broken;
    }
    BoundedReader body = in.Sub(Length);
    ItemResult result = ItemResult::Ok;
    int transferSyntaxes = 0;
    if (!body.U8(PresentationContextID) || !body.U8(Reserved2) || !body.U8(Result) ||
        !body.U8(Reserved4)) {
        if (!body.LinkFailed())
            LogMessage("ERROR, PresentationContextAccept::Read, length " + num(Length) +
                       " below its fields");
        result = ItemResult::Malformed;
    }
    while (result == ItemResult::Ok && body.Remaining() > 0) {
        std::uint8_t type = 0;
        if (!body.U8(type))
            break;
        UIDitem sub(type);
        result = sub.Read(body);
        if (result == ItemResult::Broken)
            result = ItemResult::Malformed; // the item's own length still holds
        else if (type == ItemCode::TransferSyntax && transferSyntaxes++ == 0)
            TrnSyntax = std::move(sub);
    }
    if (body.LinkFailed() || !body.SkipRest())
        return ItemResult::Broken;
    if (result != ItemResult::Ok)
        return result;
    if (transferSyntaxes != 1)
        LogMessage("WARNING, PresentationContextAccept::Read, transfer syntax sub-items: " +
                   std::to_string(transferSyntaxes));
    info("INFO, PresentationContextAccept::Read");
    info("ItemType: " + num(ItemType));
    info("Reserved1: " + num(Reserved1));
    info("Length: " + num(Length));
    info("PresentationContextID: " + num(PresentationContextID));
    info("Reserved2: " + num(Reserved2));
    info("Result: " + num(Result));
    info("Reserved4: " + num(Reserved4));
    info("AbsSyntax: " + AbsSyntax.UID);
    info("TrnSyntax: " + TrnSyntax.UID);
    return ItemResult::Ok;
}
