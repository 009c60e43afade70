#include "StoreFiles.h"

#include "Association.h"
#include "Diagnosis.h"
#include "IdentifierCounter.h"
#include "JobControl.h"
#include "Log.h"
#include "Store.h"
#include "UidTables.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A multi-file association proposes one context per SOP class and file syntax, so the syntaxes
// are chosen without the data set: the chosen one unless the class is never converted or no
// message could be carried in it, and the files' own when a message can be carried in it.
std::string preferredSyntax(const std::string& sopClassUid, const std::string& chosen) {
    if (IsNonImageSopClass(sopClassUid) || !IsKnownTransferSyntax(chosen) ||
        !IsSelectableTransferSyntax(chosen))
        return {};
    return chosen;
}

std::string otherSyntax(const std::string& fileSyntax) {
    return IsSelectableTransferSyntax(fileSyntax) ? fileSyntax : std::string();
}

// As StoreSCU reads a file: standard first, raw when that fails; nullptr when neither gives a
// data set with a SOP class.
std::unique_ptr<DcmObj> readStoreFile(const std::string& fileName) {
    std::error_code error;
    if (!fs::is_regular_file(fileName, error))
        return nullptr;
    auto dataSet = std::make_unique<DcmObj>();
    if (!DcmObj::Read(*dataSet, fileName)) {
        dataSet = std::make_unique<DcmObj>();
        if (!DcmObj::ReadRaw(*dataSet, fileName))
            return nullptr;
    }
    if (dataSet->GetString(0x0008, 0x0016).empty())
        return nullptr;
    return dataSet;
}

std::string hexStatus(int status) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(status) & 0xFFFF);
    return text;
}

// Warnings (0001, Bxxx) mean the instance was stored.
bool storedStatus(int status) {
    return status == 0 || status == 1 || (status >= 0xB000 && status <= 0xBFFF);
}

std::string storeFailure(int result) {
    switch (result) {
    case StoreResult::NoPresentationContext:
        return "no presentation context accepted";
    case StoreResult::UnknownTransferSyntax:
        return "accepted transfer syntax unknown";
    case StoreResult::ConversionFailed:
        return "cannot convert to the accepted transfer syntax";
    default:
        return "request not sent";
    }
}

class StoreRun {
public:
    StoreRun(const StoreFilesOptions& options, std::vector<StoreFileEntry> files)
        : o(options), files(std::move(files)) {
        for (const StoreFileEntry& f : this->files)
            progress.BytesTotal += f.Size;
        progress.FilesTotal = this->files.size();
    }

    StoreFilesResult Run() {
        for (const StoreFileEntry& f : files)
            if (!f.Exists)
                fail(f, "no such file");
            else if (f.SopClassUID.empty())
                report(f, "skipped: not DICOM"), result.Skipped.push_back(f.FileName);
        for (const std::vector<std::size_t>& group : PlanStoreAssociations(files)) {
            if (cancelled())
                break;
            storeGroup(group);
        }
        // Whatever a cancel left unsent is neither sent nor failed.
        return std::move(result);
    }

private:
    bool cancelled() {
        // The window's Cancel reaches the job through the thread's control.
        if (!result.Cancelled && ((o.Cancel && o.Cancel->load()) || CurrentJobCancelled()))
            result.Cancelled = true;
        return result.Cancelled;
    }

    void report(const StoreFileEntry& f, const std::string& what) {
        ++progress.FilesDone;
        progress.BytesDone += f.Size;
        progress.FileName = f.FileName;
        progress.Result = what;
        if (o.Progress)
            o.Progress(progress);
    }

    void fail(const StoreFileEntry& f, const std::string& reason) {
        result.Failed.emplace_back(f.FileName, reason);
        report(f, "failed: " + reason);
    }

    // Proposes one context per key, in first-use order; ids receives each key's context ID.
    bool open(PDU_Service& service, const std::vector<StoreContextKey>& keys,
              std::vector<std::uint8_t>& ids) {
        service.dumpMessages = CurrentLogLevel >= 2;
        service.SetTls(o.Tls);
        PrepareAssociation(service, o.CallingTitle, o.CalledTitle, o.TimeoutSeconds);
        ids.clear();
        for (const StoreContextKey& key : keys) {
            PresentationContext context(NextContextID());
            ids.push_back(context.PresentationContextID);
            context.SetAbstractSyntax(key.SopClassUID);
            std::string preferred = preferredSyntax(key.SopClassUID, o.TransferSyntaxUID);
            if (!preferred.empty())
                context.AddTransferSyntax(preferred);
            if (!key.OtherTransferSyntax.empty() && key.OtherTransferSyntax != preferred)
                context.AddTransferSyntax(key.OtherTransferSyntax);
            if (preferred != ImplicitLittleEndian &&
                key.OtherTransferSyntax != ImplicitLittleEndian)
                context.AddTransferSyntax(ImplicitLittleEndian);
            service.request.AddPresentationContext(std::move(context));
        }
        ++result.Associations;
        return service.Connect(o.Host, o.Port);
    }

    // Sends the files of one association; a link lost on the way is opened again for the rest.
    void storeGroup(const std::vector<std::size_t>& group) {
        std::size_t next = 0;
        while (next < group.size() && !cancelled()) {
            std::vector<StoreContextKey> keys;
            for (std::size_t i = next; i < group.size(); ++i) {
                StoreContextKey key = StoreContextFor(files[group[i]]);
                if (std::find(keys.begin(), keys.end(), key) == keys.end())
                    keys.push_back(key);
            }
            PDU_Service service;
            std::vector<std::uint8_t> ids;
            if (!open(service, keys, ids)) {
                LogMessage("ERROR, StoreFilesSCU, OpenAssoc failed");
                const std::string why = Diagnosis::LinkReason(service);
                for (; next < group.size(); ++next)
                    fail(files[group[next]], why);
                return;
            }
            while (next < group.size() && service.IsConnected()) {
                if (cancelled()) {
                    // The peer learns at once that nothing more comes.
                    service.abort.Write(service.link);
                    service.link.Link().Close();
                    LogMessage("WARNING, StoreFilesSCU, cancelled: association aborted");
                    return;
                }
                const StoreFileEntry& f = files[group[next++]];
                auto at = std::find(keys.begin(), keys.end(), StoreContextFor(f));
                sendOne(service, f, ids[static_cast<std::size_t>(at - keys.begin())]);
            }
            service.Close();
        }
    }

    void sendOne(PDU_Service& service, const StoreFileEntry& f, std::uint8_t contextId) {
        std::string accepted;
        if (!service.GetTransferSyntaxUID(contextId, accepted) ||
            !IsSelectableTransferSyntax(accepted)) {
            LogMessage("ERROR, StoreFilesSCU, no presentation context for " + f.SopClassUID);
            fail(f, "no presentation context accepted for " + UidName(f.SopClassUID));
            return;
        }
        std::unique_ptr<DcmObj> dataSet = readStoreFile(f.FileName);
        if (!dataSet) {
            fail(f, "cannot be read");
            return;
        }
        if (dataSet->GetString(0x07A1, 0x1011) == "PMSCT_RLE1" &&
            !DcmObj::UnpackPrivatePixels(*dataSet)) {
            fail(f, "the private CT pixels cannot be unpacked");
            return;
        }
        if (o.Modify)
            o.Modify(*dataSet);
        StoredInstance instance{f.FileName, f.SopClassUID, dataSet->GetString(0x0008, 0x0018),
                                dataSet->GetString(0x0020, 0x000E),
                                dataSet->GetString(0x0020, 0x000D)};
        service.data.PresentationContextID = contextId;
        int written = WriteStoreRQ(service, *dataSet, f.SopClassUID);
        dataSet.reset();
        if (written != StoreResult::Sent) {
            LogMessage("ERROR, StoreFilesSCU, WriteStoreRQ failed: " + f.FileName);
            fail(f, storeFailure(written));
            return;
        }
        int status = ReadStoreRSP(service);
        if (status < 0) {
            fail(f, "no C-STORE response");
        } else if (!storedStatus(status)) {
            fail(f, "status " + hexStatus(status));
        } else {
            result.Sent.push_back(std::move(instance));
            report(f, status == 0 ? "sent" : "sent, warning " + hexStatus(status));
        }
    }

    const StoreFilesOptions& o;
    std::vector<StoreFileEntry> files;
    StoreFilesProgress progress;
    StoreFilesResult result;
};

} // namespace

std::vector<std::string> ExpandStorePaths(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& path : paths) {
        std::error_code error;
        if (!fs::is_directory(path, error)) {
            out.push_back(path);
            continue;
        }
        std::vector<std::string> found;
        for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
             it.increment(error))
            if (it->is_regular_file(error))
                found.push_back(it->path().string());
        std::sort(found.begin(), found.end());
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

StoreFileEntry InspectStoreFile(const std::string& fileName) {
    StoreFileEntry entry;
    entry.FileName = fileName;
    std::error_code error;
    entry.Exists = fs::is_regular_file(fileName, error);
    entry.Size = entry.Exists ? fs::file_size(fileName, error) : 0;
    if (error)
        entry.Size = 0;
    if (std::unique_ptr<DcmObj> dataSet = readStoreFile(fileName)) {
        entry.SopClassUID = dataSet->GetString(0x0008, 0x0016);
        entry.TransferSyntaxUID = dataSet->transferSyntax;
    }
    return entry;
}

bool ReadStoredInstance(const std::string& fileName, StoredInstance& instance) {
    std::unique_ptr<DcmObj> dataSet = readStoreFile(fileName);
    if (!dataSet)
        return false;
    instance = StoredInstance{
        fileName, dataSet->GetString(0x0008, 0x0016), dataSet->GetString(0x0008, 0x0018),
        dataSet->GetString(0x0020, 0x000E), dataSet->GetString(0x0020, 0x000D)};
    return true;
}

StoreContextKey StoreContextFor(const StoreFileEntry& file) {
    return {file.SopClassUID, otherSyntax(file.TransferSyntaxUID)};
}

std::vector<std::vector<std::size_t>>
PlanStoreAssociations(const std::vector<StoreFileEntry>& files, std::size_t maxContexts) {
    std::vector<std::vector<std::size_t>> groups;
    std::vector<StoreContextKey> keys;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (files[i].SopClassUID.empty())
            continue;
        StoreContextKey key = StoreContextFor(files[i]);
        bool known = std::find(keys.begin(), keys.end(), key) != keys.end();
        if (groups.empty() || (!known && keys.size() >= maxContexts)) {
            groups.emplace_back();
            keys.clear();
        }
        if (std::find(keys.begin(), keys.end(), key) == keys.end())
            keys.push_back(key);
        groups.back().push_back(i);
    }
    return groups;
}

StoreFilesResult StoreFilesSCU(const std::vector<std::string>& fileNames,
                               const StoreFilesOptions& options) {
    std::vector<StoreFileEntry> files;
    files.reserve(fileNames.size());
    for (const std::string& name : fileNames)
        files.push_back(InspectStoreFile(name));
    return StoreRun(options, std::move(files)).Run();
}
