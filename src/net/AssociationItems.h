#pragma once
// Items of the A-ASSOCIATE PDUs that carry UIDs: the text-bearing item and the presentation
// context in its request and accept forms. All 16-bit fields are big endian on the wire.

#include "Buffer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ItemCode {
constexpr std::uint8_t ApplicationContext = 0x10;
constexpr std::uint8_t PresentationContextRQ = 0x20;
constexpr std::uint8_t PresentationContextAC = 0x21;
constexpr std::uint8_t AbstractSyntax = 0x30;
constexpr std::uint8_t TransferSyntax = 0x40;
constexpr std::uint8_t UserInformation = 0x50;
} // namespace ItemCode

// Longest UID or name a record keeps; longer values from a peer are cut, their bytes consumed.
constexpr std::size_t MaxUidLength = 64;

// Text-bearing item (application context, abstract and transfer syntax, implementation class
// UID and version name):
//   0  1  item type
//   1  1  reserved, 0
//   2  2  length n
//   4  n  the characters, no padding or terminator
class UIDitem {
public:
    explicit UIDitem(std::uint8_t type = 0) : ItemType(type) {}

    // Sets the value (cut to 64 characters) and its length.
    void Set(const std::string& value);
    void Set(std::uint8_t type, const std::string& value);
    std::uint32_t Size() const { return Length + 4u; }
    // Writes the item and flushes the link; the flush result.
    bool Write(Buffer& link) const;
    // After the type byte: reserved, length, characters. Length stays as read so the
    // enclosing counts add up; the value keeps at most 64 characters.
    ItemResult Read(BoundedReader& in);

    std::uint8_t ItemType;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::string UID;
};

// Presentation context, request form (item 0x20):
//   0  1  0x20
//   1  1  reserved
//   2  2  item length = 4 + abstract syntax size + transfer syntax sizes
//   4  1  presentation context ID, odd
//   5  3  reserved
//   8  .  abstract syntax sub-item (0x30), then one transfer syntax sub-item (0x40) each
class PresentationContext {
public:
    // The ID comes from the caller's context counter, which lives above this layer.
    explicit PresentationContext(std::uint8_t id = 1) : PresentationContextID(id) {}

    void SetAbstractSyntax(const std::string& uid) { AbsSyntax.Set(ItemCode::AbstractSyntax, uid); }
    void AddTransferSyntax(const std::string& uid);
    // Recomputes the item length; the size on the wire.
    std::uint32_t Size();
    // False when a flush fails, and after the header and abstract syntax when no transfer
    // syntax is proposed.
    bool Write(Buffer& link);
    // After the type byte.
    ItemResult Read(BoundedReader& in);

    std::uint8_t ItemType = ItemCode::PresentationContextRQ;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::uint8_t PresentationContextID;
    std::uint8_t Reserved2 = 0, Reserved3 = 0, Reserved4 = 0;
    UIDitem AbsSyntax{ItemCode::AbstractSyntax};
    std::vector<UIDitem> TrnSyntax;
};

// Presentation context, accept form (item 0x21):
//   0  1  0x21
//   1  1  reserved
//   2  2  item length
//   4  1  presentation context ID
//   5  1  reserved
//   6  1  result: 0 acceptance, others refusal
//   7  1  reserved
//   8  .  one transfer syntax sub-item (0x40)
// The item is read by its length, so an item with no or several transfer syntaxes, or with
// other sub-items, keeps the parse in step; the first transfer syntax is the one kept.
class PresentationContextAccept {
public:
    std::uint32_t Size() const { return Length + 4u; }
    // After the type byte.
    ItemResult Read(BoundedReader& in);

    std::uint8_t ItemType = ItemCode::PresentationContextAC;
    std::uint8_t Reserved1 = 0;
    std::uint16_t Length = 0;
    std::uint8_t PresentationContextID = 0;
    std::uint8_t Reserved2 = 0;
    std::uint8_t Result = 2;
    std::uint8_t Reserved4 = 0;
    UIDitem AbsSyntax{ItemCode::AbstractSyntax}; // never on the wire of an accept
    UIDitem TrnSyntax{ItemCode::TransferSyntax};
};
