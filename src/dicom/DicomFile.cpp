// Reading of DICOM files: files with preamble and meta header, and raw data sets without preamble.

#include "BufData.h"
#include "DcmObj.h"
#include "FileSnapshot.h"
#include "Log.h"

#include <filesystem>

namespace {

bool fileExists(const std::string& fileName) {
    std::error_code ec;
    return std::filesystem::exists(fileName, ec);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// YYYY.MM.DD, the form the raw files carry; other values are left alone.
bool isDottedDate(const std::string& s) {
    if (s.size() != 10 || s[4] != '.' || s[7] != '.')
        return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!isDigit(s[i]))
            return false;
    return true;
}

// HH:MM:SS, optionally followed by a fraction that the repair drops.
bool isColonTime(const std::string& s) {
    if (s.size() < 8 || s[2] != ':' || s[5] != ':')
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (!isDigit(s[i]))
            return false;
    return true;
}

// UID components may only hold digits and dots, and no component may start with 0.
std::string uidSafe(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (!isDigit(static_cast<char>(c)) && c != '.')
            text[i] = static_cast<char>('0' + c % 9);
        if (text[i] == '0' && i > 0 && text[i - 1] == '.')
            text[i] = '1';
    }
    return text;
}

} // namespace

bool DcmObj::Read(DcmObj& dataSet, const std::string& fileName, FileValues values) {
    BufData buf(dataSet.bigEndian);
    if (!fileExists(fileName)) {
        LogMessage("ERROR, DcmObj::Read, File does not exist: " + fileName);
        return false;
    }
    if (!buf.LoadFromFile(fileName, values))
        return false;
    if (values == FileValues::InFile)
        dataSet.file = buf.File();
    if (!buf.ReadMetaHeader(dataSet.transferSyntax))
        return false;
    dataSet.explicitVR = dataSet.transferSyntax == ImplicitLittleEndian ? 0 : 1;
    if (dataSet.transferSyntax == ExplicitBigEndian)
        dataSet.bigEndian = 1;
    buf.bigEndian = dataSet.bigEndian;
    bool ok = buf.ReadObject(dataSet);
    if (!ok)
        LogMessage("ERROR: DcmObj::Read, " + fileName);
    buf.Clear();
    return ok;
}

bool DcmObj::ReadRaw(DcmObj& dataSet, const std::string& fileName, FileValues values) {
    BufData buf(dataSet.bigEndian);
    if (!fileExists(fileName))
        return false;
    if (!buf.LoadFromFile(fileName, values))
        return false;
    if (values == FileValues::InFile)
        dataSet.file = buf.File();
    dataSet.explicitVR = 0;

    bool result = false;
    uint8_t first[2] = {0, 0};
    if (buf.ReadBytes(first, 2) == 2 && first[0] == 0x08 && first[1] == 0x00) {
        buf.Seek(0);
        result = buf.ReadObject(dataSet);

        std::string studyDate, studyTime, acquisitionTime, contentTime;
        std::string sopInstance, modality, patientId, studyUid, seriesUid, instanceNumber;
        std::string seriesNumber;
        for (int i = 0; i < dataSet.Count(); ++i) {
            DcmTag* e = dataSet.TagAt(i);
            if (!e)
                continue;
            if (e->IsVR("DA") && e->length == 10) {
                std::string s = e->GetString();
                if (isDottedDate(s)) {
                    std::string d = s.substr(0, 4) + s.substr(5, 2) + s.substr(8, 2);
                    e->SetValue(d.data(), 8);
                }
                if (e->Is(0x0008, 0x0020))
                    studyDate = e->GetString();
            }
            if (e->IsVR("TM") && e->length != 0) {
                std::string s = e->GetString();
                if (isColonTime(s)) {
                    std::string t = s.substr(0, 2) + s.substr(3, 2) + s.substr(6, 2);
                    e->SetValue(t.data(), 6);
                }
                if (e->Is(0x0008, 0x0030))
                    studyTime = e->GetString();
                else if (e->Is(0x0008, 0x0032))
                    acquisitionTime = e->GetString();
                else if (e->Is(0x0008, 0x0033))
                    contentTime = e->GetString();
            }
            if (e->Is(0x0008, 0x0018))
                sopInstance = e->GetString();
            else if (e->Is(0x0008, 0x0060))
                modality = e->GetString();
            else if (e->Is(0x0010, 0x0020))
                patientId = e->GetString();
            else if (e->Is(0x0020, 0x000D))
                studyUid = e->GetString();
            else if (e->Is(0x0020, 0x000E))
                seriesUid = e->GetString();
            else if (e->Is(0x0020, 0x0013))
                instanceNumber = e->GetString();
            else if (e->Is(0x0020, 0x0011))
                seriesNumber = e->length == 0 ? "1" : e->GetString();
        }

        std::string base = uidSafe("9999." + studyDate + "." + studyTime + "." + patientId);
        if (sopInstance.empty()) {
            std::string uid = base + "." +
                              (!acquisitionTime.empty() ? acquisitionTime : contentTime) +
                              instanceNumber;
            if (modality == "CT")
                dataSet.AddString(0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
            dataSet.AddString(0x0008, 0x0018, uid);
        }
        if (studyUid.empty())
            dataSet.AddString(0x0020, 0x000D, base);
        if (seriesUid.empty())
            dataSet.AddString(0x0020, 0x000E, base + "." + seriesNumber);
    }
    if (!result)
        LogMessage("ERROR: DcmObj::Read, " + fileName);
    buf.Clear();
    return result;
}

namespace {

bool loadValues(DcmObj& dataSet, const FileSnapshot*& failed) {
    for (DcmObj::Entry& entry : dataSet.items) {
        if (entry.obj) {
            if (!loadValues(*entry.obj, failed))
                return false;
        } else if (entry.tag->InFile()) {
            const FileSnapshot* file = entry.tag->file.get();
            if (!entry.tag->LoadFileValue()) {
                failed = file;
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool DcmObj::LoadValues(DcmObj& dataSet) {
    const FileSnapshot* failed = nullptr;
    if (loadValues(dataSet, failed) && (!dataSet.file || dataSet.file->Unchanged()))
        return true;
    LogMessage("ERROR, DcmObj::LoadValues, file changed while being sent: " +
               (failed ? failed : dataSet.file.get())->Name());
    return false;
}
