#include "AssociationPDUs.h"

#include "Log.h"

namespace {

constexpr std::size_t TitleLength = 16;

std::string num(long value) {
    return std::to_string(value);
}

std::string paddedTitle(const std::string& title) {
    std::string padded = title.substr(0, TitleLength);
    padded.resize(TitleLength, ' ');
    return padded;
}

void writeTitle(Buffer& link, const std::string& title) {
    std::string field = title.substr(0, TitleLength);
    field.resize(TitleLength, '\0');
    link.Write(field);
}

// The reserved field as the C text it was always logged as: empty for the zeros sent.
std::string reservedText(const std::uint8_t (&bytes)[32]) {
    std::string text(reinterpret_cast<const char*>(bytes), sizeof bytes);
    return text.substr(0, text.find('\0'));
}

} // namespace

bool AssociateHeader::ReadHeader(Buffer& link, const char* place) {
    if (!link.ReadU8(Reserved1) || !link.ReadU32(PDULength))
        return false;
    if (PDULength < AssociateHeaderLength) {
        LogMessage(std::string("ERROR, ") + place + ", PDU length " + num(PDULength) +
                   " below its fixed fields");
        link.Skip(PDULength);
        return false;
    }
    std::uint8_t titles[2 * TitleLength];
    if (!link.ReadU16(ProtocolVersion) || !link.ReadU16(Reserved2) ||
        !link.Read(titles, sizeof titles) || !link.Read(Reserved3, sizeof Reserved3))
        return false;
    auto title = [](const std::uint8_t* p) {
        std::string text(reinterpret_cast<const char*>(p), TitleLength);
        return text.substr(0, text.find('\0'));
    };
    CalledApTitle = title(titles);
    CallingApTitle = title(titles + TitleLength);
    return true;
}

void AssociateHeader::LogHeader(const char* place) const {
    LogMessage(std::string("INFO, ") + place);
    LogMessage("ItemType: " + num(PDUType));
    LogMessage("Reserved1: " + num(Reserved1));
    LogMessage("Length: " + num(PDULength));
    LogMessage("ProtocolVersion: " + num(ProtocolVersion));
    LogMessage("Reserved2: " + num(Reserved2));
    LogMessage("CalledApTitle: " + CalledApTitle);
    LogMessage("CallingApTitle: " + CallingApTitle);
    LogMessage("Reserved3: " + reservedText(Reserved3));
}

void AAssociateRQ::SetCalledApTitle(const std::string& title) {
    CalledApTitle = paddedTitle(title);
}

void AAssociateRQ::SetCallingApTitle(const std::string& title) {
    CallingApTitle = paddedTitle(title);
}

std::uint32_t AAssociateRQ::ComputeSizes() {
    std::uint32_t length = AssociateHeaderLength + AppContext.Size();
    for (PresentationContext& context : PresContexts)
        length += context.Size();
    length += UserInfo.Size();
    PDULength = length;
    return PDULength;
}

bool AAssociateRQ::Write(Buffer& link) {
    ComputeSizes();
    link << PDUType << Reserved1 << PDULength << ProtocolVersion << Reserved2;
    writeTitle(link, CalledApTitle);
    writeTitle(link, CallingApTitle);
    link.Write(Reserved3, sizeof Reserved3);
    if (CurrentLogLevel >= 2)
        LogHeader("AAssociateRQ::Write");
    if (!link.Flush()) {
        LogMessage("ERROR, AAssociateRQ::Write Link.Flush()");
        return false;
    }
    if (!AppContext.Write(link)) {
        LogMessage("ERROR, AAssociateRQ::Write AppContext.Write()");
        return false;
    }
    for (PresentationContext& context : PresContexts) {
        if (!context.Write(link)) {
            LogMessage("ERROR, AAssociateRQ::Write PresentationContext.Write()");
            return false;
        }
    }
    if (!UserInfo.Write(link)) {
        LogMessage("ERROR, AAssociateRQ::Write UserInfo.Write()");
        return false;
    }
    return true;
}

AssociateHeader::ItemsRead
AssociateHeader::ReadItems(Buffer& link, std::uint8_t contextType,
                           const std::function<ItemResult(BoundedReader&)>& readContext) {
    BoundedReader pdu(link, PDULength - AssociateHeaderLength);
    bool wellFormed = true;
    bool unknown = false;
    while (pdu.Remaining() > 0) {
        std::uint8_t type = 0;
        if (!pdu.U8(type))
            return ItemsRead::Broken;
        ItemResult result;
        if (type == ItemCode::ApplicationContext) {
            result = AppContext.Read(pdu);
        } else if (type == contextType) {
            result = readContext(pdu);
        } else if (type == ItemCode::UserInformation) {
            result = UserInfo.ReadDynamic(pdu);
        } else {
            // Not an item this side reads (a user information sub-item put at the top level,
            // say): passed over by its length, so what follows it is still read.
            std::uint8_t reserved = 0;
            std::uint16_t length = 0;
            if (!pdu.U8(reserved) || !pdu.U16(length) || !pdu.Has(length)) {
                pdu.SkipRest();
                return ItemsRead::UnknownItem;
            }
            pdu.Skip(length);
            LogMessage("WARNING, AssociateHeader::ReadItems, unknown item type " + num(type) +
                       " passed over");
            unknown = true;
            continue;
        }
        if (result == ItemResult::Broken) {
            pdu.SkipRest();
            return ItemsRead::Broken;
        }
        wellFormed = wellFormed && result == ItemResult::Ok;
    }
    if (unknown)
        return ItemsRead::UnknownItem;
    return wellFormed ? ItemsRead::Ok : ItemsRead::Malformed;
}

bool AAssociateRQ::Read(Buffer& link) {
    PresContexts.clear();
    if (!ReadHeader(link, "AAssociateRQ::Read"))
        return false;
    ItemsRead outcome = ReadItems(link, ItemCode::PresentationContextRQ, [&](BoundedReader& in) {
        PresentationContext context;
        ItemResult result = context.Read(in);
        if (result == ItemResult::Ok)
            PresContexts.push_back(std::move(context));
        return result;
    });
    if (outcome == ItemsRead::UnknownItem) {
        LogMessage("WARNING, AAssociateRQ::Read Unknown Packet");
        LogMessage("WARNING, AAssociateRQ::Read Count=-1");
    }
    return outcome == ItemsRead::Ok || outcome == ItemsRead::Malformed;
}

bool AAssociateAC::Read(Buffer& link) {
    PresContextAccepts.clear();
    UserInfo = UserInformation();
    if (!ReadHeader(link, "AAssociateAC::Read"))
        return false;
    if (CurrentLogLevel >= 3)
        LogHeader("AAssociateAC::Read");
    ItemsRead outcome = ReadItems(link, ItemCode::PresentationContextAC, [&](BoundedReader& in) {
        PresentationContextAccept accept;
        ItemResult result = accept.Read(in);
        if (result == ItemResult::Ok)
            PresContextAccepts.push_back(std::move(accept));
        return result;
    });
    return outcome == ItemsRead::Ok;
}

bool AAssociateRJ::Read(Buffer& link) {
    if (!link.ReadU8(Reserved1) || !link.ReadU32(PDULength))
        return false;
    if (PDULength < 4) {
        LogMessage("ERROR, AAssociateRJ::Read, PDU length " + num(PDULength) + " below its fields");
        link.Skip(PDULength);
        return false;
    }
    return link.ReadU8(Reserved2) && link.ReadU8(Result) && link.ReadU8(Source) &&
           link.ReadU8(Reason) && link.Skip(PDULength - 4);
}
