#pragma once
// The user information item (0x50) of the A-ASSOCIATE-RQ and -AC and the sub-items this side
// knows. The request carries maximum length, implementation class UID and version name, the
// role selections added to it, and a user identity only when a user name is set; the other
// sub-items are only read.

#include "AssociationItems.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ItemCode {
constexpr std::uint8_t MaximumLength = 0x51;
constexpr std::uint8_t ImplementationClass = 0x52;
constexpr std::uint8_t AsyncOperationsWindow = 0x53;
constexpr std::uint8_t RoleSelection = 0x54;
constexpr std::uint8_t ImplementationVersion = 0x55;
constexpr std::uint8_t UserIdentityRQ = 0x58;
constexpr std::uint8_t UserIdentityAC = 0x59;
} // namespace ItemCode

// Maximum length (0x51): type, reserved, length (2) = 4, maximum PDU length (4).
struct MaxSubLengthItem {
    std::uint8_t ItemType = ItemCode::MaximumLength;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 4;
    // Also the accept's value when the peer sends none.
    std::uint32_t MaximumLength = 16384;
};

// Asynchronous operations window (0x53): type, reserved, length (2), invoked (2), performed (2).
struct AsyncOpWindowItem {
    std::uint8_t ItemType = ItemCode::AsyncOperationsWindow;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::uint16_t MaxOperationsInvoked = 0;
    std::uint16_t MaxOperationsPerformed = 0;
};

// SCP/SCU role selection (0x54): type, reserved, length (2), UID length (2), SOP class UID,
// SCU role (1), SCP role (1). A second sub-item overwrites the first.
struct SCPSCURoleItem {
    std::uint8_t ItemType = ItemCode::RoleSelection;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::string SOPClassUID;
    std::uint8_t SCURole = 0;
    std::uint8_t SCPRole = 0;
};

// User identity request (0x58): type, reserved, length (2), identity type (1), positive
// response requested (1), primary length (2), primary, secondary length (2), secondary.
struct UserIdentityItem {
    std::uint8_t ItemType = ItemCode::UserIdentityRQ;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::uint8_t UserIdentityType = 0;
    std::uint8_t PositiveResponseRequested = 0;
    std::string PrimaryField;
    std::string SecondaryField;
};

// User identity response (0x59): type, reserved, length (2), response length (2), response.
struct UserIdentityResponseItem {
    std::uint8_t ItemType = ItemCode::UserIdentityAC;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::string ServerResponse;
};

// Item 0x50: type, reserved, length (2), then the sub-items.
class UserInformation {
public:
    void SetMaximumLength(std::uint32_t maximum) { MaxSubLength.MaximumLength = maximum; }
    void SetImpClass(const std::string& uid);
    void SetImpVersion(const std::string& name);
    // Type 2 (user name and passcode) with a positive response requested; an empty user name
    // keeps the sub-item off the wire.
    void SetUserIdentity(const std::string& userName, const std::string& passcode);
    // One role selection sub-item for the class (C-GET: SCP role for the storage classes).
    void AddRoleSelection(const std::string& sopClassUid, bool scu, bool scp);

    // The item length is computed while it is 0 and reused afterwards; a setter that changes
    // the size clears it. The size on the wire.
    std::uint32_t Size();
    // Flushes after each sub-item; false at the first flush that fails.
    bool Write(Buffer& link);
    // After the 0x50 type byte; the item is consumed by its length whatever it holds.
    ItemResult ReadDynamic(BoundedReader& in);

    std::uint8_t ItemType = ItemCode::UserInformation;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    MaxSubLengthItem MaxSubLength;
    AsyncOpWindowItem AsyncOpWindow;
    SCPSCURoleItem SCPSCURole;
    // Written after the implementation class; on reading, every role sub-item in arrival order.
    std::vector<SCPSCURoleItem> RoleSelections;
    UIDitem ImpClass{ItemCode::ImplementationClass};
    UIDitem ImpVersion{ItemCode::ImplementationVersion};
    UserIdentityItem UserIdentity;
    UserIdentityResponseItem UserIdentityResponse;

private:
    std::uint32_t identitySize() const;
    ItemResult readSubItem(std::uint8_t type, BoundedReader& sub);
};
