#pragma once
// Storage of several files and directories to one peer: as few associations as the files'
// classes allow, a report after every file, and a cancel that is noticed between files.

#include "DcmObj.h"
#include "Transport.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The most presentation contexts one association may propose (odd IDs 1 to 255).
inline constexpr std::size_t MaxPresentationContexts = 128;

// The files named, with every regular file below a named directory (recursively, in name
// order) in place of the directory. A name that is neither stays, so that it is reported.
std::vector<std::string> ExpandStorePaths(const std::vector<std::string>& paths);

// What the first look at a file found; an empty SOP class marks a file that is not DICOM.
struct StoreFileEntry {
    std::string FileName;
    std::string SopClassUID;
    std::string TransferSyntaxUID;
    std::uintmax_t Size = 0;
    // False for a name that is no regular file: a failure, not a skip.
    bool Exists = false;
};

StoreFileEntry InspectStoreFile(const std::string& fileName);

// The presentation context a file needs: its class, with the file's own syntax as the
// alternative to the chosen one.
struct StoreContextKey {
    std::string SopClassUID;
    std::string OtherTransferSyntax;
    bool operator==(const StoreContextKey&) const = default;
};

StoreContextKey StoreContextFor(const StoreFileEntry& file);

// Indices of the files (DICOM ones only) for each association, in file order: a new
// association starts whenever the next file's context would be one too many.
std::vector<std::vector<std::size_t>>
PlanStoreAssociations(const std::vector<StoreFileEntry>& files,
                      std::size_t maxContexts = MaxPresentationContexts);

// One stored instance, as a later step (performed procedure step, commitment) refers to it.
struct StoredInstance {
    std::string FileName;
    std::string SopClassUID;
    std::string SopInstanceUID;
    std::string SeriesInstanceUID;
    std::string StudyInstanceUID;
};

// The references of a file already stored; false when it is not DICOM.
bool ReadStoredInstance(const std::string& fileName, StoredInstance& instance);

// Reported after each file.
struct StoreFilesProgress {
    std::size_t FilesDone = 0;
    std::size_t FilesTotal = 0;
    std::uintmax_t BytesDone = 0;
    std::uintmax_t BytesTotal = 0;
    std::string FileName;
    // "sent", "skipped: not DICOM" or "failed: " and the reason.
    std::string Result;
};

struct StoreFilesOptions {
    std::string CallingTitle;
    std::string CalledTitle;
    std::string Host;
    std::string Port;
    std::string TransferSyntaxUID;
    int TimeoutSeconds = 120;
    TlsOptions Tls;
    // Called on the storing thread.
    std::function<void(const StoreFilesProgress&)> Progress;
    // Set from any thread: the association in use is aborted before the next file.
    const std::atomic<bool>* Cancel = nullptr;
    // Applied to each data set after it was read and before it is sent.
    std::function<void(DcmObj&)> Modify;
};

struct StoreFilesResult {
    std::vector<StoredInstance> Sent;
    // File and reason.
    std::vector<std::pair<std::string, std::string>> Failed;
    std::vector<std::string> Skipped;
    std::size_t Associations = 0;
    bool Cancelled = false;
};

StoreFilesResult StoreFilesSCU(const std::vector<std::string>& fileNames,
                               const StoreFilesOptions& options);
