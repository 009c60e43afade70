#include "Store.h"

#include "Association.h"
#include "DataDictionary.h"
#include "IdentifierCounter.h"
#include "JobControl.h"
#include "Log.h"
#include "TransferSyntaxUids.h"
#include "UidTables.h"

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

constexpr uint16_t CStoreRQ = 0x0001;
constexpr uint16_t CStoreRSP = 0x8001;
constexpr uint16_t DataSetFollows = 0x0102;
constexpr uint16_t MediumPriority = 0;

// About the bytes the data set takes on the wire (explicit VR headers assumed), for the
// progress of a job; never used to frame anything.
std::uint64_t encodedSizeEstimate(const DcmObj& dataSet) {
    std::uint64_t size = 0;
    for (const DcmObj::Entry& entry : dataSet.items) {
        if (entry.tag) {
            size += 12;
            if (entry.tag->length != UndefinedLength)
                size += entry.tag->length;
        } else if (entry.obj) {
            size += 12 + encodedSizeEstimate(*entry.obj);
        }
    }
    return size;
}

bool isNativeLittleEndian(const std::string& uid) {
    return uid == ImplicitLittleEndian || uid == ExplicitLittleEndian;
}

// A data set without pixel data is encoded the same way in every native syntax but for its
// VR mode and byte order, so it changes syntax without a conversion.
bool relabel(DcmObj& dataSet, const std::string& target) {
    bool fromBig = dataSet.transferSyntax == ExplicitBigEndian;
    bool toBig = target == ExplicitBigEndian;
    if (!(fromBig || isNativeLittleEndian(dataSet.transferSyntax)) ||
        !(toBig || isNativeLittleEndian(target)))
        return false;
    if (fromBig != toBig) {
        if (!DcmObj::LoadValues(dataSet))
            return false;
        DcmObj::SetByteOrder(dataSet, toBig);
    }
    dataSet.transferSyntax = target;
    dataSet.explicitVR = target == ImplicitLittleEndian ? 0 : 1;
    return true;
}

// Says so when the peer did not take the chosen syntax.
void noteFallback(const PDU_Service& service, const std::string& preferred) {
    const std::string& accepted = service.Negotiation().transferSyntax;
    if (!preferred.empty() && !accepted.empty() && accepted != preferred)
        LogMessage("INFO, StoreSCU, the peer refused " + preferred + ", sending in " + accepted);
}

} // namespace

bool CStore::WriteRQ(PDU_Service& service, DcmObj* dataSet, const std::string& sopClassUid) {
    std::string instanceUid = dataSet ? dataSet->GetString(0x0008, 0x0018) : std::string();
    CommandSet builder;
    builder.Uid(0x0002, sopClassUid)
        .UShort(0x0100, CStoreRQ)
        .UShort(0x0110, NextMessageID())
        .UShort(0x0700, MediumPriority)
        .UShort(0x0800, DataSetFollows);
    if (!instanceUid.empty())
        builder.Uid(0x1000, instanceUid);
    std::unique_ptr<DcmObj> command = builder.Build();
    bool written = service.Write(*command, 1);
    command.reset();
    if (!written) {
        LogMessage("ERROR, CStore::WriteRQ, PDU->Write DCO failed");
        return false;
    }
    if (!dataSet || service.Write(*dataSet, 0))
        return true;
    // The peer's answer came before the end of the data set: the rest is not sent, and its
    // status is read as the response.
    return service.ResponsePending();
}

int CStore::ReadRSP(PDU_Service& service, DimseStatus* status) {
    DcmObj response;
    if (!service.Read(response)) {
        LogMessage("ERROR, CStore::ReadRSP, PDU->Read DCO failed");
        return -1;
    }
    // A response without a status cannot be taken for a success.
    if (response.GetUShort(0x0000, 0x0100) != CStoreRSP ||
        response.GetTag(0x0000, 0x0900) == nullptr) {
        LogMessage("ERROR, CStore::ReadRSP, not a C-Store RSP");
        return -2;
    }
    if (status)
        *status = ReadDimseStatus(response);
    int value = response.GetUShort(0x0000, 0x0900);
    if (value != 0)
        LogMessage("ERROR, CStore::ReadRSP, status == " + std::to_string(value));
    return value;
}

int WriteStoreRQ(PDU_Service& service, DcmObj& dataSet, const std::string& sopClassUid) {
    const Negotiated& agreed = service.Negotiation();
    if (agreed.contextID == 0)
        return StoreResult::NoPresentationContext;
    const std::string& accepted = agreed.transferSyntax;
    if (accepted.empty())
        return StoreResult::UnknownTransferSyntax;
    if (accepted != dataSet.transferSyntax) {
        const std::string source = dataSet.transferSyntax;
        bool converted;
        if (IsImageSopClass(sopClassUid) || dataSet.GetTag(0x7FE0, 0x0010) != nullptr)
            converted =
                DcmObj::LoadValues(dataSet) && DcmObj::ConvertTransferSyntax(dataSet, accepted);
        else
            converted = relabel(dataSet, accepted);
        // Some conversions succeed without touching the data (video is never converted).
        if (!converted || dataSet.transferSyntax != accepted) {
            LogMessage("ERROR, WriteStoreRQ, cannot bring " + source + " to " + accepted);
            return StoreResult::ConversionFailed;
        }
    }
    if (dataSet.explicitVR)
        ResolveUnknownVRs(dataSet);
    if (CurrentLogLevel >= 1)
        LogMessage("INFO, WriteStoreRQ, sending in " + accepted + " (" + UidName(accepted) + ")");
    if (JobControl* control = CurrentJobControl()) {
        control->SetBytesTotal(encodedSizeEstimate(dataSet));
        control->TransferSyntaxSent = dataSet.transferSyntax;
    }
    return CStore::WriteRQ(service, &dataSet, sopClassUid) ? StoreResult::Sent
                                                           : StoreResult::NotWritten;
}

int ReadStoreRSP(PDU_Service& service) {
    return CStore::ReadRSP(service);
}

namespace {

bool isNative(const std::string& uid) {
    return isNativeLittleEndian(uid) || uid == ExplicitBigEndian;
}

// Encapsulated syntaxes the decompression reads.
bool isDecodable(const std::string& uid) {
    static const char* const decodable[] = {
        Rle,          JpegBaseline, JpegExtended, JpegLosslessProcess14,
        JpegLossless, J2kLossless,  J2kLossy};
    return std::any_of(std::begin(decodable), std::end(decodable),
                       [&](const char* d) { return uid == d; });
}

// Syntaxes the compression writes.
bool isEncodable(const std::string& uid) {
    return uid == JpegLossless || uid == JpegBaseline || uid == J2kLossless || uid == J2kLossy;
}

// VRs whose explicit length field has 16 bits.
bool hasShortLength(const char* vr) {
    static const char* const longVRs[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ",
                                          "SV", "UC", "UN", "UR", "UT", "UV"};
    return std::none_of(std::begin(longVRs), std::end(longVRs),
                        [&](const char* v) { return vr[0] == v[0] && vr[1] == v[1]; });
}

} // namespace

bool CanSendIn(const DcmObj& dataSet, const std::string& sopClassUid, const std::string& target) {
    const std::string& own = dataSet.transferSyntax;
    // As it is: any syntax but deflate, whose stream would have to be deflated again.
    if (target == own)
        return !own.empty() && own != DeflatedExplicitLittleEndian;
    const bool pixels = dataSet.GetTag(0x7FE0, 0x0010) != nullptr;
    const bool converted = IsImageSopClass(sopClassUid) || pixels;
    if (isNative(target))
        return isNative(own) || (converted && isDecodable(own));
    if (!isEncodable(target) || !pixels || !converted || !(isNative(own) || isDecodable(own)))
        return false;
    // The coders take 8- and 16-bit samples of one or three components, nothing else.
    std::uint16_t bits = dataSet.GetUShort(0x0028, 0x0100);
    std::uint16_t samples = dataSet.GetUShort(0x0028, 0x0002);
    return (bits == 8 || bits == 16) && (samples == 1 || samples == 3);
}

std::vector<std::vector<std::string>>
StoreProposals(const DcmObj& dataSet, const std::string& sopClassUid, const std::string& chosen) {
    std::vector<std::vector<std::string>> contexts;
    if (!chosen.empty()) {
        if (CanSendIn(dataSet, sopClassUid, chosen))
            contexts.push_back({chosen});
        else
            LogMessage("WARNING, StoreSCU, the file cannot be sent in " + chosen +
                       "; not proposed");
    }
    const std::string& own = dataSet.transferSyntax;
    if (own != chosen && CanSendIn(dataSet, sopClassUid, own))
        contexts.push_back({own});
    std::vector<std::string> fallbacks;
    for (const char* uid : {ExplicitLittleEndian, ImplicitLittleEndian})
        if (uid != chosen && uid != own && CanSendIn(dataSet, sopClassUid, uid))
            fallbacks.push_back(uid);
    if (!fallbacks.empty())
        contexts.push_back(std::move(fallbacks));
    return contexts;
}

void ResolveUnknownVRs(DcmObj& dataSet) {
    for (DcmObj::Entry& entry : dataSet.items) {
        if (entry.obj) {
            ResolveUnknownVRs(*entry.obj);
            continue;
        }
        DcmTag& e = *entry.tag;
        if (!e.IsVR("UN") || e.length == 0xFFFFFFFF)
            continue;
        const DictEntry* known = FindDictEntry(e.group, e.element);
        // Two-letter VRs only: "US or SS" and the like are ambiguous, and "SQ" would need the
        // value re-encoded.
        if (!known || known->vr[0] == 0 || known->vr[2] != 0 ||
            (known->vr[0] == 'S' && known->vr[1] == 'Q') ||
            (known->vr[0] == 'U' && known->vr[1] == 'N'))
            continue;
        if (hasShortLength(known->vr) && e.length > 0xFFFF)
            continue;
        e.SetVR(known->vr);
        e.bigEndian = dataSet.bigEndian;
    }
}

namespace {

std::string conversionReason(const PDU_Service& service, const std::string& sopClassUid,
                             const std::string& source) {
    std::string accepted;
    service.GetTransferSyntaxUID(service.data.PresentationContextID, accepted);
    return "conversion: the peer accepted " + Diagnosis::UidWithName(sopClassUid) + " in " +
           Diagnosis::UidWithName(accepted) + ", and this file (" + Diagnosis::UidWithName(source) +
           ") cannot be converted to it";
}

} // namespace

bool StoreSCU(const std::string& callingTitle, const std::string& calledTitle,
              const std::string& host, const std::string& port, const std::string& fileName,
              const std::string& transferSyntaxUid, int timeoutSeconds, const TlsOptions& tls,
              std::string* reason) {
    // Large values stay in the file until they are sent, so memory stays small whatever its
    // size; a change to the file before the end of the sending fails the store.
    auto dataSet = std::make_unique<DcmObj>();
    if (!DcmObj::Read(*dataSet, fileName, FileValues::InFile)) {
        LogMessage("WARNING, StoreSCU, image is not standard DICOM");
        // A failed read of a standard file may have left elements behind; the raw read starts
        // afresh.
        dataSet = std::make_unique<DcmObj>();
        if (!DcmObj::ReadRaw(*dataSet, fileName, FileValues::InFile)) {
            Diagnosis::NoteReason(reason, Diagnosis::FileReason(fileName, Diagnosis::NotDicom));
            return false;
        }
    }
    if (dataSet->GetString(0x07A1, 0x1011) == "PMSCT_RLE1" &&
        (!DcmObj::LoadValues(*dataSet) || !DcmObj::UnpackPrivatePixels(*dataSet)))
        return false;
    std::string sopClassUid = dataSet->GetString(0x0008, 0x0016);
    if (sopClassUid.empty()) {
        Diagnosis::NoteReason(reason, "file: '" + fileName +
                                          "' holds no SOP Class UID (0008,0016); it is not "
                                          "DICOM or not a stored object");
        return false;
    }
    const std::string sourceSyntax = dataSet->transferSyntax;

    PDU_Service service;
    service.dumpMessages = CurrentLogLevel >= 2;
    service.SetTls(tls);
    bool result = false;
    const std::vector<std::vector<std::string>> proposals =
        StoreProposals(*dataSet, sopClassUid, transferSyntaxUid);
    // The chosen syntax, when it is proposed first and alone.
    const std::string preferred =
        !proposals.empty() && proposals[0] == std::vector<std::string>{transferSyntaxUid}
            ? transferSyntaxUid
            : std::string();
    if (!OpenAssociation(service, {.callingTitle = callingTitle,
                                   .calledTitle = calledTitle,
                                   .host = host,
                                   .port = port,
                                   .abstractSyntax = sopClassUid,
                                   .timeoutSeconds = timeoutSeconds,
                                   .contexts = proposals})) {
        LogMessage("ERROR, StoreSCU, OpenAssoc failed");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service));
    } else {
        noteFallback(service, preferred);
        int sent = WriteStoreRQ(service, *dataSet, sopClassUid);
        if (sent == StoreResult::Sent) {
            DimseStatus status;
            int answer = CStore::ReadRSP(service, &status);
            result = answer == 0;
            if (answer == -1)
                Diagnosis::NoteReason(reason,
                                      Diagnosis::LinkReason(service, "awaiting the C-STORE-RSP"));
            else if (answer == -2)
                Diagnosis::NoteReason(reason, "C-STORE: the peer answered with another message "
                                              "than a C-STORE-RSP, or one without a status");
            else if (answer != 0)
                Diagnosis::NoteReason(reason, Diagnosis::StatusReason("C-STORE", status));
        } else {
            LogMessage("ERROR, StoreSCU, WriteStoreRQ failed");
            if (sent == StoreResult::ConversionFailed)
                Diagnosis::NoteReason(reason, conversionReason(service, sopClassUid, sourceSyntax));
            else if (sent == StoreResult::NotWritten)
                Diagnosis::NoteReason(reason,
                                      Diagnosis::LinkReason(service, "sending the C-STORE-RQ"));
            else
                Diagnosis::NoteReason(reason, Diagnosis::ContextReason(service));
        }
    }
    dataSet.reset();
    service.Close();
    return result;
}
