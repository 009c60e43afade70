#include "UserInformation.h"

#include "Log.h"

namespace {

void info(const std::string& line) {
    if (CurrentLogLevel >= 2)
        LogMessage(line);
}

std::string num(long value) {
    return std::to_string(value);
}

std::string quoted(const std::string& text) {
    return ", \"" + text + "\"";
}

void writeText(Buffer& link, const std::string& text) {
    link << static_cast<std::uint16_t>(text.size());
    link.Write(text);
}

} // namespace

void UserInformation::SetImpClass(const std::string& uid) {
    std::uint32_t before = ImpClass.Size();
    ImpClass.Set(ItemCode::ImplementationClass, uid);
    if (ImpClass.Size() != before)
        Length = 0;
}

void UserInformation::SetImpVersion(const std::string& name) {
    std::uint32_t before = ImpVersion.Size();
    ImpVersion.Set(ItemCode::ImplementationVersion, name);
    if (ImpVersion.Size() != before)
        Length = 0;
}

std::uint32_t UserInformation::identitySize() const {
    return UserIdentity.PrimaryField.empty() ? 0 : UserIdentity.Length + 4u;
}

void UserInformation::SetUserIdentity(const std::string& userName, const std::string& passcode) {
    std::uint32_t before = identitySize();
    UserIdentity.ItemType = ItemCode::UserIdentityRQ;
    UserIdentity.Reserved1 = 0;
    UserIdentity.UserIdentityType = 2;
    UserIdentity.PositiveResponseRequested = 1;
    UserIdentity.PrimaryField = userName.substr(0, 0xFFFF);
    UserIdentity.SecondaryField = passcode.substr(0, 0xFFFF);
    UserIdentity.Length = static_cast<std::uint16_t>(6 + UserIdentity.PrimaryField.size() +
                                                     UserIdentity.SecondaryField.size());
    if (identitySize() != before)
        Length = 0;
}

void UserInformation::AddRoleSelection(const std::string& sopClassUid, bool scu, bool scp) {
    SCPSCURoleItem item;
    item.SOPClassUID = sopClassUid;
    item.SCURole = scu ? 1 : 0;
    item.SCPRole = scp ? 1 : 0;
    item.Length = static_cast<std::uint16_t>(4 + sopClassUid.size());
    RoleSelections.push_back(std::move(item));
    Length = 0;
}

std::uint32_t UserInformation::Size() {
    if (Length == 0) {
        std::uint32_t length = MaxSubLength.Length + 4u;
        info("INFO, MaxSubLength::Size, Length=" + num(MaxSubLength.Length + 4) +
             ", MaxSubLength.MaximumLength=" + num(MaxSubLength.MaximumLength));
        length += ImpClass.Size();
        info("INFO, ImpClass::Size, Length=" + num(ImpClass.Size()) + quoted(ImpClass.UID));
        for (const SCPSCURoleItem& role : RoleSelections)
            length += role.Length + 4u;
        length += ImpVersion.Size();
        info("INFO, ImpVersion::Size, Length=" + num(ImpVersion.Size()) + quoted(ImpVersion.UID));
        if (!UserIdentity.PrimaryField.empty()) {
            length += identitySize();
            info("INFO, UserIdent::Size, Length=" + num(identitySize()));
        }
        if (!UserIdentityResponse.ServerResponse.empty()) {
            length += UserIdentityResponse.Length + 4u;
            info("INFO, UserIdentRes::Size, Length=" + num(UserIdentityResponse.Length + 4));
        }
        Length = static_cast<std::uint16_t>(length);
    }
    info("INFO, UserInformation::Size, Length=" + num(Length));
    return Length + 4u;
}

bool UserInformation::Write(Buffer& link) {
    if (Length == 0)
        Size();
    link << ItemType << Reserved1 << Length;
    if (!link.Flush())
        return false;
    link << MaxSubLength.ItemType << MaxSubLength.Reserved1 << MaxSubLength.Length
         << MaxSubLength.MaximumLength;
    if (!link.Flush() || !ImpClass.Write(link))
        return false;
    for (const SCPSCURoleItem& role : RoleSelections) {
        link << role.ItemType << role.Reserved1 << role.Length;
        writeText(link, role.SOPClassUID);
        link << role.SCURole << role.SCPRole;
        if (!link.Flush())
            return false;
    }
    if (!ImpVersion.Write(link))
        return false;
    if (UserIdentity.PrimaryField.empty())
        return true;
    link << UserIdentity.ItemType << UserIdentity.Reserved1 << UserIdentity.Length
         << UserIdentity.UserIdentityType << UserIdentity.PositiveResponseRequested;
    writeText(link, UserIdentity.PrimaryField);
    writeText(link, UserIdentity.SecondaryField);
    return link.Flush();
}

ItemResult UserInformation::readSubItem(std::uint8_t type, BoundedReader& sub) {
    std::uint16_t n = 0;
    switch (type) {
    case ItemCode::MaximumLength:
        return sub.U32(MaxSubLength.MaximumLength) ? ItemResult::Ok : ItemResult::Broken;
    case ItemCode::ImplementationClass:
        return sub.Text(sub.Remaining(), ImpClass.UID) ? ItemResult::Ok : ItemResult::Broken;
    case ItemCode::ImplementationVersion:
        return sub.Text(sub.Remaining(), ImpVersion.UID) ? ItemResult::Ok : ItemResult::Broken;
    case ItemCode::AsyncOperationsWindow:
        return sub.U16(AsyncOpWindow.MaxOperationsInvoked) &&
                       sub.U16(AsyncOpWindow.MaxOperationsPerformed)
                   ? ItemResult::Ok
                   : ItemResult::Broken;
    case ItemCode::RoleSelection:
        return sub.U16(n) && sub.Text(n, SCPSCURole.SOPClassUID) && sub.U8(SCPSCURole.SCURole) &&
                       sub.U8(SCPSCURole.SCPRole)
                   ? ItemResult::Ok
                   : ItemResult::Broken;
    case ItemCode::UserIdentityRQ:
        return sub.U8(UserIdentity.UserIdentityType) &&
                       sub.U8(UserIdentity.PositiveResponseRequested) && sub.U16(n) &&
                       sub.Text(n, UserIdentity.PrimaryField, 0xFFFF) && sub.U16(n) &&
                       sub.Text(n, UserIdentity.SecondaryField, 0xFFFF)
                   ? ItemResult::Ok
                   : ItemResult::Broken;
    case ItemCode::UserIdentityAC:
        return sub.U16(n) && sub.Text(n, UserIdentityResponse.ServerResponse, 0xFFFF)
                   ? ItemResult::Ok
                   : ItemResult::Broken;
    }
    return ItemResult::Broken;
}

ItemResult UserInformation::ReadDynamic(BoundedReader& in) {
    // The accept's record is rewritten by each read; what the peer leaves out gets defaults.
    *this = UserInformation();
    if (!in.U8(Reserved1) || !in.U16(Length) || !in.Has(Length)) {
        if (!in.LinkFailed())
            LogMessage("ERROR, UserInformation::ReadDynamic, length " + num(Length) +
                       " beyond enclosing item");
        return ItemResult::Broken;
    }
    BoundedReader item = in.Sub(Length);
    info("INFO, UserInformation::ReadDynamic, Count=" + num(Length));
    while (item.Remaining() > 0) {
        std::uint8_t type = 0;
        std::uint8_t reserved = 0;
        std::uint16_t length = 0;
        if (!item.U8(type))
            return ItemResult::Broken;
        bool known = (type >= ItemCode::MaximumLength && type <= ItemCode::ImplementationVersion) ||
                     type == ItemCode::UserIdentityRQ || type == ItemCode::UserIdentityAC;
        if (!known) {
            LogMessage("WARNING, UserInformation::Read Unknown Packet");
            if (!item.SkipRest())
                return ItemResult::Broken;
            LogMessage("WARNING, UserInformation::Read Count=-1");
            return ItemResult::Malformed;
        }
        if (!item.U8(reserved) || !item.U16(length) || !item.Has(length)) {
            if (item.LinkFailed())
                return ItemResult::Broken;
            LogMessage("ERROR, UserInformation::ReadDynamic, sub-item length " + num(length) +
                       " beyond item");
            return item.SkipRest() ? ItemResult::Malformed : ItemResult::Broken;
        }
        BoundedReader sub = item.Sub(length);
        if (readSubItem(type, sub) != ItemResult::Ok) {
            if (sub.LinkFailed())
                return ItemResult::Broken;
            LogMessage("ERROR, UserInformation::ReadDynamic, sub-item length " + num(length) +
                       " below its fields");
            return sub.SkipRest() && item.SkipRest() ? ItemResult::Malformed : ItemResult::Broken;
        }
        // Bytes a sub-item carries beyond its fields are passed over.
        if (!sub.SkipRest())
            return ItemResult::Broken;
        long count = item.Remaining();
        switch (type) {
        case ItemCode::MaximumLength:
            MaxSubLength.Reserved1 = reserved;
            MaxSubLength.Length = length;
            info("INFO, MaxSubLength::ReadDynamic, Count=" + num(count) +
                 ", MaxSubLength.MaximumLength=" + num(MaxSubLength.MaximumLength));
            break;
        case ItemCode::ImplementationClass:
            ImpClass.Reserved1 = reserved;
            ImpClass.Length = length;
            info("INFO, ImpClass::ReadDynamic, Count=" + num(count) + quoted(ImpClass.UID));
            break;
        case ItemCode::AsyncOperationsWindow:
            AsyncOpWindow.Reserved1 = reserved;
            AsyncOpWindow.Length = length;
            info("INFO, AsyncOpWindow::ReadDynamic, Count=" + num(count));
            break;
        case ItemCode::RoleSelection:
            SCPSCURole.Reserved1 = reserved;
            SCPSCURole.Length = length;
            RoleSelections.push_back(SCPSCURole);
            info("INFO, SCPSCURole::ReadDynamic, Count=" + num(count));
            break;
        case ItemCode::ImplementationVersion:
            ImpVersion.Reserved1 = reserved;
            ImpVersion.Length = length;
            info("INFO, ImpVersion::ReadDynamic, Count=" + num(count) + quoted(ImpVersion.UID));
            break;
        case ItemCode::UserIdentityRQ:
            UserIdentity.Reserved1 = reserved;
            UserIdentity.Length = length;
            info("INFO, UserIdent::ReadDynamic, Count=" + num(count));
            break;
        case ItemCode::UserIdentityAC:
            UserIdentityResponse.Reserved1 = reserved;
            UserIdentityResponse.Length = length;
            info("INFO, UserIdentRes::ReadDynamic, Count=" + num(count) + ", " +
                 UserIdentityResponse.ServerResponse);
            break;
        }
    }
    return ItemResult::Ok;
}
