#pragma once
// The association-establishment PDUs: A-ASSOCIATE-RQ (written; read only to report a peer's
// protocol error), A-ASSOCIATE-AC and A-ASSOCIATE-RJ (read). Reads start after the PDU type
// byte, which the association service takes to dispatch.

#include "AssociationItems.h"
#include "UserInformation.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace PduType {
constexpr std::uint8_t AssociateRQ = 1;
constexpr std::uint8_t AssociateAC = 2;
constexpr std::uint8_t AssociateRJ = 3;
} // namespace PduType

constexpr const char* ApplicationContextUid = "1.2.840.10008.3.1.1.1";
// Fixed part of the PDU after the length field: version, reserved, both titles, reserved.
constexpr std::uint32_t AssociateHeaderLength = 68;

// Header shared by the A-ASSOCIATE-RQ and -AC:
//   0   1  PDU type (1 RQ, 2 AC)
//   1   1  reserved
//   2   4  PDU length = 68 + item sizes
//   6   2  protocol version, 1
//   8   2  reserved
//   10  16 called AE title
//   26  16 calling AE title
//   42  32 reserved, zeros
//   74  .  application context item (0x10), presentation contexts, user information (0x50)
struct AssociateHeader {
    explicit AssociateHeader(std::uint8_t type) : PDUType(type) {
        AppContext.Set(ItemCode::ApplicationContext, ApplicationContextUid);
    }
    // Reads reserved, length and the fixed part; false with a log line when the length cannot
    // hold the fixed part (the PDU is then passed over) or the link fails.
    bool ReadHeader(Buffer& link, const char* place);
    void LogHeader(const char* place) const;

    enum class ItemsRead { Ok, Malformed, UnknownItem, Broken };
    // Reads the items after the fixed part, up to the PDU length; the presentation context
    // items of contextType go to readContext. An unknown item passes over the rest of the PDU.
    ItemsRead ReadItems(Buffer& link, std::uint8_t contextType,
                        const std::function<ItemResult(BoundedReader&)>& readContext);

    std::uint8_t PDUType;
    std::uint8_t Reserved1 = 0;
    std::uint32_t PDULength = 0;
    std::uint16_t ProtocolVersion = 1;
    std::uint16_t Reserved2 = 0;
    std::string CalledApTitle;  // at most 16 characters
    std::string CallingApTitle; // at most 16 characters
    std::uint8_t Reserved3[32] = {};
    UIDitem AppContext{ItemCode::ApplicationContext};
    UserInformation UserInfo;
};

class AAssociateRQ : public AssociateHeader {
public:
    AAssociateRQ() : AssociateHeader(PduType::AssociateRQ) {}

    void SetApplicationContext(const std::string& uid) {
        AppContext.Set(ItemCode::ApplicationContext, uid);
    }
    // Blank-padded or cut to 16 characters.
    void SetCalledApTitle(const std::string& title);
    void SetCallingApTitle(const std::string& title);
    void AddPresentationContext(PresentationContext context) {
        PresContexts.push_back(std::move(context));
    }
    // Recomputes the presentation context and PDU lengths; returns the PDU length.
    std::uint32_t ComputeSizes();
    // Sends the PDU in several flushes; false as soon as one of them fails.
    bool Write(Buffer& link);
    // After the type byte.
    bool Read(Buffer& link);

    std::vector<PresentationContext> PresContexts;
};

class AAssociateAC : public AssociateHeader {
public:
    AAssociateAC() : AssociateHeader(PduType::AssociateAC) {}

    // After the type byte. True when every item was well formed. The PDU is consumed by its
    // length whatever it holds (an unknown item ends the parse and the rest is passed over);
    // the well-formed accept items read stay listed either way.
    bool Read(Buffer& link);

    std::vector<PresentationContextAccept> PresContextAccepts;
};

// A-ASSOCIATE-RJ:
//   0  1  PDU type 3
//   1  1  reserved
//   2  4  PDU length, 4
//   6  1  reserved
//   7  1  result: 1 permanent, 2 transient
//   8  1  source
//   9  1  reason
struct AAssociateRJ {
    // After the type byte; a longer PDU is passed over in full.
    bool Read(Buffer& link);

    std::uint8_t PDUType = PduType::AssociateRJ;
    std::uint8_t Reserved1 = 0;
    std::uint32_t PDULength = 0;
    std::uint8_t Reserved2 = 0;
    std::uint8_t Result = 1;
    std::uint8_t Source = 3;
    std::uint8_t Reason = 1;
};
