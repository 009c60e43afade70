#include "Store.h"

#include "Association.h"
#include "IdentifierCounter.h"
#include "Log.h"
#include "UidTables.h"

#include <algorithm>
#include <memory>

namespace {

constexpr uint16_t CStoreRQ = 0x0001;
constexpr uint16_t CStoreRSP = 0x8001;
constexpr uint16_t DataSetFollows = 0x0102;
constexpr uint16_t MediumPriority = 0;

bool isNativeLittleEndian(const std::string& uid) {
    return uid == ImplicitLittleEndian || uid == ExplicitLittleEndian;
}

// Width of the numbers a value of this VR is made of; 1 for bytes and texts.
std::size_t wordSize(const DcmTag& e) {
    static const char* const words2[] = {"US", "SS", "OW", "AT"};
    static const char* const words4[] = {"UL", "SL", "FL", "OF", "OL"};
    static const char* const words8[] = {"FD", "OD", "OV", "SV", "UV"};
    for (const char* vr : words2)
        if (e.IsVR(vr))
            return 2;
    for (const char* vr : words4)
        if (e.IsVR(vr))
            return 4;
    for (const char* vr : words8)
        if (e.IsVR(vr))
            return 8;
    return 1;
}

// Brings every numeric value, nested ones included, into the other byte order.
void swapByteOrder(DcmObj& dataSet, uint8_t toBigEndian) {
    dataSet.bigEndian = toBigEndian;
    dataSet.itemTag.bigEndian = toBigEndian;
    for (DcmObj::Entry& entry : dataSet.items) {
        if (entry.obj) {
            swapByteOrder(*entry.obj, toBigEndian);
            continue;
        }
        DcmTag& e = *entry.tag;
        std::size_t width = wordSize(e);
        if (e.HasValue() && width > 1) {
            uint8_t* bytes = e.data.get();
            for (std::size_t at = 0; at + width <= e.length; at += width)
                std::reverse(bytes + at, bytes + at + width);
        }
        e.bigEndian = toBigEndian;
    }
}

// A data set without pixel data is encoded the same way in every native syntax but for its
// VR mode and byte order, so it changes syntax without a conversion.
bool relabel(DcmObj& dataSet, const std::string& target) {
    bool fromBig = dataSet.transferSyntax == ExplicitBigEndian;
    bool toBig = target == ExplicitBigEndian;
    if (!(fromBig || isNativeLittleEndian(dataSet.transferSyntax)) ||
        !(toBig || isNativeLittleEndian(target)))
        return false;
    if (fromBig != toBig)
        swapByteOrder(dataSet, toBig ? 1 : 0);
    dataSet.transferSyntax = target;
    dataSet.explicitVR = target == ImplicitLittleEndian ? 0 : 1;
    return true;
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
    return dataSet ? service.Write(*dataSet, 0) : true;
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
    std::uint8_t id = service.data.PresentationContextID;
    if (id == 0)
        return StoreResult::NoPresentationContext;
    std::string accepted;
    if (!service.GetTransferSyntaxUID(id, accepted))
        return StoreResult::UnknownTransferSyntax;
    if (accepted != dataSet.transferSyntax) {
        const std::string source = dataSet.transferSyntax;
        bool converted;
        if (IsImageSopClass(sopClassUid) || dataSet.GetTag(0x7FE0, 0x0010) != nullptr)
            converted = DcmObj::ConvertTransferSyntax(dataSet, accepted);
        else
            converted = relabel(dataSet, accepted);
        // Some conversions succeed without touching the data (video is never converted).
        if (!converted || dataSet.transferSyntax != accepted) {
            LogMessage("ERROR, WriteStoreRQ, cannot bring " + source + " to " + accepted);
            return StoreResult::ConversionFailed;
        }
    }
    return CStore::WriteRQ(service, &dataSet, sopClassUid) ? StoreResult::Sent
                                                           : StoreResult::NotWritten;
}

int ReadStoreRSP(PDU_Service& service) {
    return CStore::ReadRSP(service);
}

std::string StorePreferredTransferSyntax(const std::string& sopClassUid,
                                         const std::string& chosenTransferSyntax) {
    if (IsNonImageSopClass(sopClassUid) || !IsKnownTransferSyntax(chosenTransferSyntax) ||
        !IsSelectableTransferSyntax(chosenTransferSyntax))
        return {};
    return chosenTransferSyntax;
}

std::string StoreOtherTransferSyntax(const std::string& dataSetTransferSyntax) {
    return IsSelectableTransferSyntax(dataSetTransferSyntax) ? dataSetTransferSyntax
                                                             : std::string();
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
              const std::string& transferSyntaxUid, int timeoutSeconds, bool useTls,
              std::string* reason) {
    auto dataSet = std::make_unique<DcmObj>();
    if (!DcmObj::Read(*dataSet, fileName)) {
        LogMessage("WARNING, StoreSCU, image is not standard DICOM");
        // A failed read of a standard file may have left elements behind; the raw read starts
        // afresh.
        dataSet = std::make_unique<DcmObj>();
        if (!DcmObj::ReadRaw(*dataSet, fileName)) {
            Diagnosis::NoteReason(reason, Diagnosis::FileReason(fileName, Diagnosis::NotDicom));
            return false;
        }
    }
    if (dataSet->GetString(0x07A1, 0x1011) == "PMSCT_RLE1")
        DcmObj::UnpackPrivatePixels(*dataSet);
    std::string sopClassUid = dataSet->GetString(0x0008, 0x0016);
    if (sopClassUid.empty()) {
        Diagnosis::NoteReason(reason, "file: '" + fileName +
                                          "' holds no SOP Class UID (0008,0016); it is not "
                                          "DICOM or not a stored object");
        return false;
    }
    const std::string sourceSyntax = dataSet->transferSyntax;

    PDU_Service service;
    std::string preferred = StorePreferredTransferSyntax(sopClassUid, transferSyntaxUid);
    service.dumpMessages = CurrentLogLevel >= 2;
    service.useTLS = useTls;
    bool result = false;
    if (!OpenAssociation(service, callingTitle, calledTitle, host, port, sopClassUid,
                         StoreOtherTransferSyntax(dataSet->transferSyntax), preferred,
                         timeoutSeconds)) {
        LogMessage("ERROR, StoreSCU, OpenAssoc failed");
        Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service));
    } else if (int sent = WriteStoreRQ(service, *dataSet, sopClassUid); sent != StoreResult::Sent) {
        LogMessage("ERROR, StoreSCU, WriteStoreRQ failed");
        if (sent == StoreResult::ConversionFailed)
            Diagnosis::NoteReason(reason, conversionReason(service, sopClassUid, sourceSyntax));
        else if (sent == StoreResult::NotWritten)
            Diagnosis::NoteReason(reason, Diagnosis::LinkReason(service, "sending the C-STORE-RQ"));
        else
            Diagnosis::NoteReason(reason, Diagnosis::ContextReason(service));
    } else {
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
    }
    dataSet.reset();
    service.Close();
    return result;
}
