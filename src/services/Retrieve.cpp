#include "Retrieve.h"

#include "Association.h"
#include "AssociationAcceptor.h"
#include "BufData.h"
#include "Diagnosis.h"
#include "IdentifierCounter.h"
#include "JobControl.h"
#include "Log.h"
#include "UidTables.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr uint16_t NoDataSet = 0x0101;
constexpr uint16_t StoreRQ = 0x0001, StoreRSP = 0x8001, EchoRQ = 0x0030, EchoRSP = 0x8030;
constexpr uint16_t GetRQ = 0x0010, GetRSP = 0x8010, MoveRQ = 0x0021, MoveRSP = 0x8021;
constexpr int Pending = 0xFF00, PendingWarning = 0xFF01;
constexpr int PollMs = 100;
// C-STORE-RSP statuses of the receiving side.
constexpr uint16_t OutOfResources = 0xA700, CannotUnderstand = 0xC000;

std::string trimmedTitle(std::string title) {
    while (!title.empty() && (title.back() == ' ' || title.back() == '\0'))
        title.pop_back();
    return title;
}

std::string hex4(int status) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(status) & 0xFFFF);
    return text;
}

bool cancelled(const RetrieveOptions& o) {
    return (o.Cancel && o.Cancel->load()) || CurrentJobCancelled();
}

std::vector<std::string> splitValues(const std::string& text) {
    std::vector<std::string> values;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            values.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return values;
}

// Preamble, "DICM", the meta group in explicit VR little endian, then the data set's bytes as
// they arrived in the context's transfer syntax.
bool writeReceivedFile(const std::filesystem::path& file, const std::string& sopClass,
                       const std::string& sopInstance, const std::string& transferSyntax,
                       const std::string& sourceTitle, const std::vector<std::uint8_t>& dataSet) {
    const std::uint8_t version[2] = {0, 1};
    std::vector<std::unique_ptr<DcmTag>> meta;
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0001, 2u, version, "OB"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0002, sopClass, "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0003, sopInstance, "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0010, transferSyntax, "UI"));
    meta.push_back(
        std::make_unique<DcmTag>(0x0002, 0x0012, std::string("1.2.999.1.77.4.999"), "UI"));
    meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0013, std::string("Mondevalier"), "SH"));
    if (!sourceTitle.empty())
        meta.push_back(std::make_unique<DcmTag>(0x0002, 0x0016, sourceTitle, "AE"));
    BufData group(0);
    for (const auto& element : meta)
        group.WriteTag(*element, true);
    const std::vector<std::uint8_t> groupBytes = group.TakeBytes();
    BufData head(0);
    head.WriteTag(DcmTag(0x0002, 0x0000, static_cast<uint32_t>(groupBytes.size()), "UL"), true);
    const std::vector<std::uint8_t> headBytes = head.TakeBytes();

    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    const char preamble[128] = {};
    out.write(preamble, sizeof preamble);
    out.write("DICM", 4);
    out.write(reinterpret_cast<const char*>(headBytes.data()),
              static_cast<std::streamsize>(headBytes.size()));
    out.write(reinterpret_cast<const char*>(groupBytes.data()),
              static_cast<std::streamsize>(groupBytes.size()));
    out.write(reinterpret_cast<const char*>(dataSet.data()),
              static_cast<std::streamsize>(dataSet.size()));
    out.close();
    return !out.fail();
}

bool writeResponse(PDU_Service& service, const DcmObj& request, uint16_t command, uint16_t status) {
    CommandSet response;
    response.Uid(0x0002, request.GetString(0x0000, 0x0002))
        .UShort(0x0100, command)
        .UShort(0x0120, request.GetUShort(0x0000, 0x0110))
        .UShort(0x0800, NoDataSet)
        .UShort(0x0900, status);
    if (command == StoreRSP)
        response.Uid(0x1000, request.GetString(0x0000, 0x1000));
    std::unique_ptr<DcmObj> built = response.Build();
    return service.Write(*built, 1);
}

// One C-STORE-RQ whose command was read: its data set is read as it came, written to a file
// and answered. False when the association failed on the way.
bool takeStore(PDU_Service& service, const DcmObj& command, const std::string& sourceTitle,
               const RetrieveOptions& o, RetrieveOutcome& outcome) {
    std::string sopClass = command.GetString(0x0000, 0x0002);
    std::string sopInstance = command.GetString(0x0000, 0x1000);
    std::vector<std::uint8_t> bytes;
    if (command.GetUShort(0x0000, 0x0800) != NoDataSet && !service.ReadRaw(bytes))
        return false;
    std::string syntax;
    service.GetTransferSyntaxUID(service.data.PresentationContextID, syntax);
    uint16_t status = 0;
    std::string why;
    std::filesystem::path file =
        std::filesystem::path(o.ReceiveDir) / ReceivedFileName(sopInstance);
    std::error_code error;
    if (bytes.empty() || sopInstance.empty()) {
        status = CannotUnderstand;
        why = "no data set";
    } else if (std::filesystem::create_directories(o.ReceiveDir, error), error) {
        status = OutOfResources;
        why = "the folder " + o.ReceiveDir + " cannot be made: " + error.message();
    } else if (!writeReceivedFile(file, sopClass, sopInstance, syntax, sourceTitle, bytes)) {
        status = OutOfResources;
        why = "the file " + file.string() + " cannot be written";
    }
    if (status == 0) {
        outcome.Files.push_back(file.string());
        LogMessage("INFO, Retrieve, received " + UidName(sopClass) + " " + sopInstance + " as " +
                   file.string());
    } else {
        outcome.NotWritten.emplace_back(sopInstance, why);
        LogMessage("ERROR, Retrieve, " + sopInstance + ": " + why);
    }
    if (o.Received)
        o.Received(status == 0 ? file.string() : sopInstance,
                   status == 0 ? "received" : "failed: " + why, outcome.Remaining);
    return writeResponse(service, command, StoreRSP, status);
}

// A peer's association for the objects of a move: storage (and echo) accepted in any syntax
// a message can be carried in, served until the peer releases it.
void serveStorageAssociation(int descriptor, int timeoutSeconds, const RetrieveOptions& o,
                             RetrieveOutcome& outcome) {
    PDU_Service inbound;
    inbound.dumpMessages = CurrentLogLevel >= 2;
    auto storage = [](const std::string& uid) {
        return uid.rfind("1.2.840.10008.5.1.4.1.2.", 0) != 0 && uid != StudyRootFindSopClass;
    };
    if (!AcceptAssociation(inbound, descriptor, storage, timeoutSeconds, true))
        return;
    std::string source = trimmedTitle(inbound.request.CallingApTitle);
    LogMessage("INFO, Retrieve, storage association from " + source);
    DcmObj command;
    while (!cancelled(o) && inbound.Read(command)) {
        uint16_t field = command.GetUShort(0x0000, 0x0100);
        if (field == StoreRQ) {
            if (!takeStore(inbound, command, source, o, outcome))
                break;
        } else if (field == EchoRQ) {
            writeResponse(inbound, command, EchoRSP, 0);
        } else {
            LogMessage("WARNING, Retrieve, command " + hex4(field) + " ignored");
        }
        command.Clear();
    }
    if (inbound.IsConnected()) {
        inbound.abort.Write(inbound.link);
        inbound.link.Link().Close();
    }
}

// A C-MOVE-RSP or C-GET-RSP whose command was read: its counts, its status and, for a final
// one, the failed instances of its identifier. False when the data set could not be read.
bool takeResponse(PDU_Service& service, const DcmObj& command, RetrieveOutcome& outcome) {
    int status = command.GetTag(0x0000, 0x0900) ? command.GetUShort(0x0000, 0x0900) : -1;
    if (command.GetTag(0x0000, 0x1021)) {
        outcome.Remaining = command.GetUShort(0x0000, 0x1020);
        outcome.Completed = command.GetUShort(0x0000, 0x1021);
        outcome.Failed = command.GetUShort(0x0000, 0x1022);
        outcome.Warning = command.GetUShort(0x0000, 0x1023);
    }
    if (command.GetUShort(0x0000, 0x0800) != NoDataSet) {
        DcmObj identifier;
        if (!service.Read(identifier))
            return false;
        outcome.FailedInstances = splitValues(identifier.GetString(0x0008, 0x0058));
    }
    if (status != Pending && status != PendingWarning) {
        outcome.Status = status;
        if (status >= 0 && status != 0)
            outcome.Reason = command.GetString(0x0000, 0x0902);
    }
    LogMessage("INFO, Retrieve, status " + hex4(status) + ": completed " +
               std::to_string(outcome.Completed) + ", failed " + std::to_string(outcome.Failed) +
               ", warning " + std::to_string(outcome.Warning) + ", remaining " +
               std::to_string(outcome.Remaining));
    return true;
}

bool writeRetrieveRQ(PDU_Service& service, uint16_t field, const std::string& sopClass,
                     const std::string& destination, const LevelQuery& keys) {
    CommandSet request;
    request.Uid(0x0002, sopClass).UShort(0x0100, field).UShort(0x0110, NextMessageID());
    if (field == MoveRQ)
        request.Element(std::make_unique<DcmTag>(0x0000, 0x0600, PaddedTitle(destination), "AE"));
    request.UShort(0x0700, 0).UShort(0x0800, 0x0000);
    std::unique_ptr<DcmObj> command = request.Build();
    DcmObj identifier;
    BuildRetrieveIdentifier(keys, identifier);
    return service.Write(*command, 1) && service.Write(identifier, 0);
}

// The final reason: a lost link, the objects that could not be written, the status's, failed
// sub-operations, or nothing sent at all.
void settleReason(const char* operation, RetrieveOutcome& outcome, const std::string& destination,
                  PDU_Service& service) {
    std::string comment = outcome.Reason;
    outcome.Reason.clear();
    // Objects our side refused explain the peer's failed sub-operations: they come first.
    if (outcome.Status < 0)
        outcome.Reason =
            Diagnosis::LinkReason(service, std::string("awaiting the ") + operation + "-RSP");
    else if (!outcome.NotWritten.empty())
        outcome.Reason = std::to_string(outcome.NotWritten.size()) +
                         " objects received could not be written, the first: " +
                         outcome.NotWritten.front().first + ": " +
                         outcome.NotWritten.front().second;
    else if (outcome.Status != 0)
        outcome.Reason = RetrieveStatusReason(operation, outcome.Status, comment, destination);
    else if (outcome.Failed > 0)
        outcome.Reason = std::string(operation) + ": " + std::to_string(outcome.Failed) +
                         " sub-operations failed";
    else if (outcome.Completed + outcome.Warning == 0 && outcome.Files.empty())
        outcome.Reason = std::string(operation) + ": nothing matched the keys, no object was sent";
}

} // namespace

std::vector<std::string> RetrieveStorageClasses() {
    std::vector<std::string> classes;
    for (const UidNameRow& row : UidNameRows())
        if (row.uid.rfind("1.2.840.10008.5.1.4.1.1.", 0) == 0)
            classes.emplace_back(row.uid);
    return classes;
}

void BuildRetrieveIdentifier(const LevelQuery& keys, DcmObj& identifier) {
    identifier.AddString(0x0008, 0x0052, keys.Level);
    if (keys.Level == "IMAGE")
        identifier.AddString(0x0008, 0x0018, keys.SOPInstanceUID);
    if (keys.PatientRoot)
        identifier.AddString(0x0010, 0x0020, keys.PatientID);
    identifier.AddString(0x0020, 0x000D, keys.StudyInstanceUID);
    if (keys.Level != "STUDY")
        identifier.AddString(0x0020, 0x000E, keys.SeriesInstanceUID);
}

std::string ReceivedFileName(const std::string& sopInstanceUid) {
    std::string name = sopInstanceUid.empty() ? "unnamed" : sopInstanceUid;
    for (char& c : name)
        if ((c < '0' || c > '9') && c != '.')
            c = '_';
    if (name.front() == '.')
        name.front() = '_';
    return name + ".dcm";
}

std::string RetrieveStatusReason(const char* operation, int status, const std::string& comment,
                                 const std::string& destination) {
    std::string op = operation;
    std::string text;
    if (status == 0xA801)
        text = op + " refused: 0xA801 move destination unknown - the peer does not know " +
               destination +
               "; add it to the peer's destinations with this host and the local port";
    else if (status == 0xA701)
        text = op + " refused: 0xA701 out of resources, unable to calculate the number of matches";
    else if (status == 0xA702)
        text = op + " refused: 0xA702 out of resources, unable to perform the sub-operations";
    else if (status == 0xB000)
        text = op + " answered with a warning: 0xB000 sub-operations complete, one or more "
                    "failures or warnings";
    else if (status == 0xFE00)
        text = op + " cancelled: 0xFE00 sub-operations terminated";
    else if ((status & 0xF000) == 0xC000)
        text = op + " refused: 0x" + hex4(status) + " unable to process";
    else if ((status & 0xFF00) == 0xA900)
        text = op + " refused: 0x" + hex4(status) + " identifier does not match SOP class";
    else
        return Diagnosis::StatusReason(op, DimseStatus{status, comment, {}});
    if (!comment.empty())
        text += "; the peer says: '" + comment + "'";
    return text;
}

RetrieveOutcome MoveSCU(const ServicePeer& peer, const RetrieveOptions& o) {
    RetrieveOutcome outcome;
    const char* sopClass = o.Keys.PatientRoot ? PatientRootMoveSopClass : StudyRootMoveSopClass;
    AssociationListener listener;
    if (o.LocalPort == 0) {
        outcome.Reason = "no local port is set for the objects of the move (setup --local-port)";
        return outcome;
    }
    if (!listener.Listen(o.LocalPort)) {
        outcome.Reason = "the local port " + std::to_string(o.LocalPort) +
                         " cannot be opened for the objects of the move";
        return outcome;
    }
    PDU_Service service;
    if (!OpenServiceAssociation(service, peer, sopClass)) {
        outcome.Reason = Diagnosis::LinkReason(service);
        service.Close();
        return outcome;
    }
    if (!writeRetrieveRQ(service, MoveRQ, sopClass, peer.CallingTitle, o.Keys)) {
        outcome.Reason = Diagnosis::LinkReason(service, "sending the C-MOVE-RQ");
        return outcome;
    }
    auto idleSince = std::chrono::steady_clock::now();
    const auto idleLimit = std::chrono::seconds(peer.TimeoutSeconds);
    while (outcome.Status < 0 && service.IsConnected()) {
        if (cancelled(o)) {
            service.abort.Write(service.link);
            service.link.Link().Close();
            outcome.Reason = "cancelled";
            return outcome;
        }
        if (service.MessageWaiting()) {
            DcmObj command;
            if (!service.Read(command))
                break;
            if (command.GetUShort(0x0000, 0x0100) != MoveRSP) {
                LogMessage("WARNING, MoveSCU, message other than C-MOVE-RSP ignored");
                continue;
            }
            if (!takeResponse(service, command, outcome))
                break;
            idleSince = std::chrono::steady_clock::now();
            continue;
        }
        int descriptor = listener.Accept(PollMs);
        if (descriptor >= 0) {
            serveStorageAssociation(descriptor, peer.TimeoutSeconds, o, outcome);
            idleSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - idleSince > idleLimit) {
            service.abort.Write(service.link);
            service.link.Link().Close();
            outcome.Reason =
                "no C-MOVE-RSP and no object within " + std::to_string(peer.TimeoutSeconds) + " s";
            return outcome;
        }
    }
    // A storage association the peer opened just before its last answer is still taken.
    for (int descriptor = listener.Accept(0); descriptor >= 0; descriptor = listener.Accept(0))
        serveStorageAssociation(descriptor, peer.TimeoutSeconds, o, outcome);
    settleReason("C-MOVE", outcome, peer.CallingTitle, service);
    service.Close();
    return outcome;
}

RetrieveOutcome GetSCU(const ServicePeer& peer, const RetrieveOptions& o) {
    RetrieveOutcome outcome;
    const char* sopClass = o.Keys.PatientRoot ? PatientRootGetSopClass : StudyRootGetSopClass;
    PDU_Service service;
    service.dumpMessages = CurrentLogLevel >= 2;
    service.SetTls(peer.Tls);
    PrepareAssociation(service, peer.CallingTitle, peer.CalledTitle, peer.TimeoutSeconds);
    std::vector<std::string> classes = RetrieveStorageClasses();
    classes.insert(classes.begin(), sopClass);
    // The request's identifier is encoded in implicit VR little endian, the objects are kept
    // in whichever of the two the peer chose.
    for (const std::string& uid : classes) {
        PresentationContext context(NextContextID());
        context.SetAbstractSyntax(uid);
        if (uid != sopClass)
            context.AddTransferSyntax(ExplicitLittleEndian);
        context.AddTransferSyntax(ImplicitLittleEndian);
        service.request.AddPresentationContext(std::move(context));
        if (uid != sopClass)
            service.request.UserInfo.AddRoleSelection(uid, false, true);
    }
    const std::uint8_t getContext = service.request.PresContexts.front().PresentationContextID;
    if (!service.Connect(peer.Host, peer.Port)) {
        outcome.Reason = Diagnosis::LinkReason(service);
        service.Close();
        return outcome;
    }
    if (service.data.PresentationContextID != getContext) {
        outcome.Reason = std::string("the peer did not accept ") + UidName(sopClass) +
                         " (it accepted only storage classes)";
        service.Close();
        return outcome;
    }
    int scpRoles = 0;
    for (const SCPSCURoleItem& role : service.accept.UserInfo.RoleSelections)
        scpRoles += role.SCPRole;
    LogMessage("INFO, GetSCU, SCP role accepted for " + std::to_string(scpRoles) + " of " +
               std::to_string(classes.size() - 1) + " storage classes");
    if (!writeRetrieveRQ(service, GetRQ, sopClass, {}, o.Keys)) {
        outcome.Reason = Diagnosis::LinkReason(service, "sending the C-GET-RQ");
        return outcome;
    }
    const std::string source = trimmedTitle(peer.CalledTitle);
    while (outcome.Status < 0) {
        if (cancelled(o)) {
            service.abort.Write(service.link);
            service.link.Link().Close();
            outcome.Reason = "cancelled";
            return outcome;
        }
        DcmObj command;
        if (!service.Read(command))
            break;
        uint16_t field = command.GetUShort(0x0000, 0x0100);
        if (field == StoreRQ) {
            if (!takeStore(service, command, source, o, outcome))
                break;
        } else if (field == GetRSP) {
            if (!takeResponse(service, command, outcome))
                break;
        } else {
            LogMessage("WARNING, GetSCU, command " + hex4(field) + " ignored");
        }
    }
    settleReason("C-GET", outcome, {}, service);
    service.Close();
    return outcome;
}
