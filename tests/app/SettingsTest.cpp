#include "AppState.h"
#include "Setup.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>

#include <sys/resource.h>

using testsupport::readFileBytes;
using testsupport::TempDir;
using testsupport::writeFileBytes;

namespace {

std::vector<uint8_t> plainBytes(const SettingsRecord& record) {
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

// Every field away from its default, texts at their longest, indexes including "none".
SettingsRecord busyRecord() {
    SettingsRecord r;
    SetSettingsText(r.RemoteHost, std::string(127, 'h'));
    SetSettingsText(r.RemotePort, std::string(31, '9'));
    SetSettingsText(r.LocalAET, "LOCAL_AE_TITLE");
    SetSettingsText(r.RemoteAET, "REMOTE\xE9\xFF");
    r.LogLevel = 3;
    r.FilmDestinationIndex = 4;
    r.FilmOrientationIndex = -1;
    r.FilmSizeIndex = 2;
    r.MagnificationIndex = 0x7FFFFFFF;
    r.PlanarConfiguration = 1;
    r.UseTls = 1;
    return r;
}

std::vector<std::string> directoryNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A record filled with a byte no load would produce, to see whether a load touched it.
SettingsRecord sentinelRecord() {
    SettingsRecord r;
    std::memset(static_cast<void*>(&r), 0x3C, sizeof r);
    return r;
}

bool sameBytes(const SettingsRecord& a, const SettingsRecord& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(Settings, DefaultsWhenThereIsNoFile) {
    TempDir dir;
    std::string name = SettingsFileName(dir.path().string() + "/");
    EXPECT_EQ(name, dir.file("veskaro.cfg").string());

    SettingsRecord untouched = sentinelRecord();
    EXPECT_FALSE(LoadSettings(name, untouched));
    EXPECT_TRUE(sameBytes(untouched, sentinelRecord()));

    SettingsRecord r = LoadSettingsOrDefaults(name);
    EXPECT_EQ(SettingsText(r.RemoteHost), "127.0.0.1");
    EXPECT_EQ(SettingsText(r.RemotePort), "104");
    EXPECT_EQ(SettingsText(r.LocalAET), "local");
    EXPECT_EQ(SettingsText(r.RemoteAET), "remote");
    EXPECT_EQ(r.LogLevel, 0);
    EXPECT_EQ(r.FilmDestinationIndex, 0);
    EXPECT_EQ(r.FilmOrientationIndex, 0);
    EXPECT_EQ(r.FilmSizeIndex, 0);
    EXPECT_EQ(r.MagnificationIndex, 0);
    EXPECT_EQ(r.PlanarConfiguration, 0);
    EXPECT_EQ(r.UseTls, 0);
    EXPECT_FALSE(std::filesystem::exists(name)) << "the defaults are not written";
}

TEST(Settings, FileIsTheRecordMaskedWithOneFixedNonZeroByte) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    uint8_t mask = 0;
    for (const SettingsRecord& record : {busyRecord(), DefaultSettings()}) {
        ASSERT_TRUE(SaveSettings(name, record));
        std::vector<uint8_t> file = readFileBytes(name);
        std::vector<uint8_t> plain = plainBytes(record);
        ASSERT_EQ(file.size(), 440u);
        if (mask == 0)
            mask = file[0] ^ plain[0];
        ASSERT_NE(mask, 0);
        for (std::size_t i = 0; i < file.size(); ++i) {
            ASSERT_NE(file[i], plain[i]) << "byte " << i;
            ASSERT_EQ(file[i] ^ plain[i], mask) << "byte " << i;
        }
    }
}

TEST(Settings, EveryFieldRoundTrips) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    SettingsRecord original = busyRecord();
    ASSERT_TRUE(SaveSettings(name, original));
    SettingsRecord loaded = sentinelRecord();
    ASSERT_TRUE(LoadSettings(name, loaded));
    EXPECT_TRUE(sameBytes(loaded, original));
    EXPECT_EQ(SettingsText(loaded.RemoteHost), std::string(127, 'h'));
    EXPECT_EQ(SettingsText(loaded.RemoteAET), "REMOTE\xE9\xFF");
    EXPECT_EQ(loaded.FilmOrientationIndex, -1);
    EXPECT_EQ(loaded.MagnificationIndex, 0x7FFFFFFF);

    // The log list stores index + 1, so each chosen item comes back as itself.
    for (int level = 1; level <= 3; ++level) {
        SettingsRecord r = DefaultSettings();
        r.LogLevel = level;
        ASSERT_TRUE(SaveSettings(name, r));
        EXPECT_EQ(LoadSettingsOrDefaults(name).LogLevel, level);
    }
}

TEST(Settings, ShortFileIsTreatedAsMissing) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    ASSERT_TRUE(SaveSettings(name, busyRecord()));
    std::vector<uint8_t> full = readFileBytes(name);

    for (std::size_t size : {std::size_t{439}, std::size_t{0}}) {
        writeFileBytes(name, full.data(), size);
        SettingsRecord r = sentinelRecord();
        EXPECT_FALSE(LoadSettings(name, r)) << size << " bytes";
        EXPECT_TRUE(sameBytes(r, sentinelRecord()));
        EXPECT_EQ(SettingsText(LoadSettingsOrDefaults(name).RemoteHost), "127.0.0.1");
    }

    // Bytes after the record are not examined.
    full.push_back(0x42);
    writeFileBytes(name, full);
    SettingsRecord r;
    ASSERT_TRUE(LoadSettings(name, r));
    EXPECT_TRUE(sameBytes(r, busyRecord()));
}

TEST(Settings, LongTextsAreCutNeverOverrun) {
    SettingsRecord r = DefaultSettings();
    SetSettingsText(r.RemoteHost, std::string(200, 'x'));
    EXPECT_EQ(SettingsText(r.RemoteHost), std::string(127, 'x'));
    EXPECT_EQ(SettingsText(r.RemotePort), "104") << "the next field is intact";
    SetSettingsText(r.RemotePort, std::string(40, '1'));
    EXPECT_EQ(SettingsText(r.RemotePort), std::string(31, '1'));
    EXPECT_EQ(SettingsText(r.LocalAET), "local");
    SetSettingsText(r.RemoteAET, std::string(128, 'a'));
    EXPECT_EQ(r.LogLevel, 0);
    EXPECT_EQ(SettingsText(r.RemoteAET).size(), 127u);

    // A shorter text replaces a longer one completely.
    SetSettingsText(r.RemoteHost, "h");
    EXPECT_EQ(SettingsText(r.RemoteHost), "h");
    EXPECT_TRUE(std::all_of(r.RemoteHost + 1, std::end(r.RemoteHost), [](char c) { return !c; }));
}

TEST(Settings, DamagedFileCannotYieldUnterminatedTexts) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    ASSERT_TRUE(SaveSettings(name, DefaultSettings()));
    uint8_t mask = readFileBytes(name)[0] ^ '1';
    // Every plain byte 'A': no text field has a terminating zero.
    writeFileBytes(name, std::vector<uint8_t>(440, static_cast<uint8_t>('A' ^ mask)));
    SettingsRecord r;
    ASSERT_TRUE(LoadSettings(name, r));
    EXPECT_EQ(SettingsText(r.RemoteHost), std::string(127, 'A'));
    EXPECT_EQ(SettingsText(r.RemotePort), std::string(31, 'A'));
    EXPECT_EQ(std::strlen(r.LocalAET), 127u);
    EXPECT_EQ(std::strlen(r.RemoteAET), 127u);
}

TEST(Settings, SaveReplacesTheFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    ASSERT_TRUE(SaveSettings(name, DefaultSettings()));
    ASSERT_TRUE(SaveSettings(name, busyRecord()));
    EXPECT_EQ(directoryNames(dir.path()), std::vector<std::string>{"veskaro.cfg"});
    EXPECT_TRUE(sameBytes(LoadSettingsOrDefaults(name), busyRecord()));
}

TEST(Settings, FailedSaveKeepsTheOldFile) {
    TempDir dir;
    std::string name = dir.file("veskaro.cfg").string();
    ASSERT_TRUE(SaveSettings(name, DefaultSettings()));
    std::vector<uint8_t> old = readFileBytes(name);

    // A folder that does not exist.
    EXPECT_FALSE(SaveSettings(dir.file("missing/veskaro.cfg").string(), busyRecord()));
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));

    // The write itself fails (file size limit, like a full disk); root cannot be kept out of
    // a folder by its permissions, but the limit holds for everyone.
    {
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 100;
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        bool saved_ok = SaveSettings(name, busyRecord());
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
        EXPECT_FALSE(saved_ok);
    }
    EXPECT_EQ(readFileBytes(name), old);
    EXPECT_EQ(directoryNames(dir.path()), std::vector<std::string>{"veskaro.cfg"});

    // The rename fails: the target is a folder.
    std::filesystem::create_directory(dir.file("occupied.cfg"));
    std::filesystem::create_directory(dir.file("occupied.cfg/x"));
    EXPECT_FALSE(SaveSettings(dir.file("occupied.cfg").string(), busyRecord()));
    EXPECT_EQ(directoryNames(dir.path()),
              (std::vector<std::string>{"occupied.cfg", "veskaro.cfg"}));
}

// A settings file that is a link (to a shared profile, say) stays one: the save goes to the
// file the chain of links ends at, beside which the temporary file is made, and keeps its
// permission bits.
TEST(Settings, SaveThroughALinkWritesItsTargetAndKeepsThePermissions) {
    TempDir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir.file("profiles"));
    const fs::path target = dir.file("profiles/site.cfg");
    ASSERT_TRUE(SaveSettings(target.string(), DefaultSettings()));
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_symlink("profiles/site.cfg", dir.file("middle.cfg"));
    fs::create_symlink("middle.cfg", dir.file("veskaro.cfg"));

    ASSERT_TRUE(SaveSettings(dir.file("veskaro.cfg").string(), busyRecord()));
    EXPECT_TRUE(fs::is_symlink(dir.file("veskaro.cfg")));
    EXPECT_TRUE(fs::is_symlink(dir.file("middle.cfg")));
    EXPECT_TRUE(sameBytes(LoadSettingsOrDefaults(target.string()), busyRecord()));
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(directoryNames(dir.file("profiles")), std::vector<std::string>{"site.cfg"});
    EXPECT_EQ(directoryNames(dir.path()),
              (std::vector<std::string>{"middle.cfg", "profiles", "veskaro.cfg"}));

    // A plain file keeps its bits too; a link to nothing yet creates its target.
    const fs::path plain = dir.file("plain.cfg");
    ASSERT_TRUE(SaveSettings(plain.string(), DefaultSettings()));
    fs::permissions(plain, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(SaveSettings(plain.string(), busyRecord()));
    EXPECT_EQ(fs::status(plain).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink("profiles/new.cfg", dir.file("dangling.cfg"));
    ASSERT_TRUE(SaveSettings(dir.file("dangling.cfg").string(), busyRecord()));
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling.cfg")));
    EXPECT_TRUE(
        sameBytes(LoadSettingsOrDefaults(dir.file("profiles/new.cfg").string()), busyRecord()));
}

TEST(AppState, StartDirAndLogDirAreCapturedOnceWithLogsCreated) {
    TempDir dir;
    AppState state;
    std::string nested = (dir.path() / "a" / "b").string();
    ASSERT_TRUE(InitStartDir(state, nested));
    EXPECT_EQ(state.StartDir, nested + "/");
    EXPECT_EQ(state.LogDir, nested + "/logs/");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "logs"));
    EXPECT_EQ(StartDirFor("/x/"), "/x/");

    // A file where the folder should be: reported, names set anyway.
    testsupport::writeFileBytes(dir.file("plain"), std::vector<uint8_t>{1});
    EXPECT_FALSE(InitStartDir(state, dir.file("plain").string()));
    EXPECT_EQ(state.LogDir, dir.file("plain").string() + "/logs/");
}

TEST(AppState, FilmIndexesMapToTheSetupListsAndNothingOutside) {
    EXPECT_EQ(ItemText(FilmDestinationItems, 0), "MAGAZINE");
    EXPECT_EQ(ItemText(FilmDestinationItems, 4), "BIN_3");
    EXPECT_EQ(ItemText(FilmOrientationItems, 1), "LANDSCAPE");
    EXPECT_EQ(ItemText(FilmOrientationItems, 2), "");
    EXPECT_EQ(ItemText(FilmSizeItems, 4), "8_5INX11IN");
    EXPECT_EQ(ItemText(MagnificationItems, 3), "NONE");
    EXPECT_EQ(ItemText(FilmDestinationItems, 5), "");
    EXPECT_EQ(ItemText(MagnificationItems, -1), "");
    EXPECT_EQ(ItemText(FilmSizeItems, 0x7FFFFFFF), "");
}
