// Encrypted backups: the libcrypto primitives against known answers, the keybag
// parser on damaged input, and whole generated backups decrypted and compared
// with their unencrypted twins.
#include "BackupTestSupport.h"

#include "backup/BackupCrypto.h"
#include "backup/BackupKeybag.h"
#include "backup/EncryptedBackup.h"
#include "backup/InputLimits.h"
#include "backup/ManifestDb.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <algorithm>
#include <cstring>

namespace talwen::backup {
namespace {

using Failure = EncryptedBackup::Failure;

Bytes hexBytes(const char* hex)
{
    const QByteArray bytes = QByteArray::fromHex(hex);
    return Bytes(bytes.begin(), bytes.end());
}

Bytes repeated(std::uint8_t value, std::size_t count)
{
    return Bytes(count, value);
}

TEST(BackupCryptoTest, SlicedPbkdf2GivesLibcryptosResult)
{
    struct Case {
        BackupCrypto::Digest digest;
        std::string password;
        Bytes salt;
        std::uint32_t iterations;
        std::size_t keyLength;
    };
    const Case cases[] = {
        {BackupCrypto::Digest::Sha1, "password", repeated(1, 20), 1, 32},  // two SHA-1 blocks
        {BackupCrypto::Digest::Sha1, "pässwort", repeated(2, 20), 70000, 32},
        {BackupCrypto::Digest::Sha256, "password", repeated(3, 20), 65536, 32},  // exactly one step
        {BackupCrypto::Digest::Sha256, std::string("a\0b", 3), repeated(4, 7), 140001, 32},
        {BackupCrypto::Digest::Sha256, "", repeated(5, 20), 10, 64},
        {BackupCrypto::Digest::Sha1, "x", Bytes(), 3, 20},
    };
    for (const Case& c : cases) {
        Bytes sliced, reference;
        std::uint64_t lastReport = 0;
        ASSERT_TRUE(BackupCrypto::pbkdf2(c.digest, c.password, c.salt, c.iterations, c.keyLength, &sliced,
                                         [&lastReport](std::uint64_t done) {
                                             lastReport = done;
                                             return true;
                                         }));
        ASSERT_TRUE(BackupCrypto::pbkdf2Reference(c.digest, c.password, c.salt, c.iterations, c.keyLength, &reference));
        EXPECT_EQ(sliced, reference) << c.iterations;
        const std::uint64_t blocks = c.digest == BackupCrypto::Digest::Sha1 ? (c.keyLength + 19) / 20
                                                                            : (c.keyLength + 31) / 32;
        EXPECT_EQ(lastReport, blocks * c.iterations);
    }
    // RFC 6070: "password", "salt", 4096 iterations.
    Bytes key;
    ASSERT_TRUE(BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha1, "password", Bytes{'s', 'a', 'l', 't'}, 4096, 20, &key));
    EXPECT_EQ(key, hexBytes("4b007901b765489abead49d926f721d065a429c1"));

    // A step that says stop ends the derivation without a key.
    Bytes stopped;
    EXPECT_FALSE(BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha256, "p", repeated(1, 20), 1000000, 32, &stopped,
                                      [](std::uint64_t done) { return done < 3 * BackupCrypto::kIterationsPerStep; }));
    EXPECT_TRUE(stopped.empty());
}

TEST(BackupCryptoTest, KeyUnwrapKnownAnswerAndWrongKey)
{
    // RFC 3394, 4.6: 256 bits of key data with a 256-bit KEK.
    const Bytes kek = hexBytes("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const Bytes plain = hexBytes("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
    const Bytes wrapped =
        hexBytes("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
    Bytes key, rewrapped;
    ASSERT_TRUE(BackupCrypto::unwrapKey(kek, wrapped, &key));
    EXPECT_EQ(key, plain);
    ASSERT_TRUE(BackupCrypto::wrapKey(kek, plain, &rewrapped));
    EXPECT_EQ(rewrapped, wrapped);

    Bytes wrongKek = kek;
    wrongKek[0] ^= 1;
    Bytes damaged = wrapped;
    damaged[20] ^= 0x80;
    for (const auto& [k, w] : {std::pair(wrongKek, wrapped), std::pair(kek, damaged),
                               std::pair(kek, Bytes(wrapped.begin(), wrapped.end() - 8)), std::pair(Bytes(16, 0), wrapped)}) {
        Bytes out;
        EXPECT_FALSE(BackupCrypto::unwrapKey(k, w, &out));
        EXPECT_TRUE(out.empty());
    }
}

// ---- Keybag -----------------------------------------------------------------

Bytes record(const char* tag, const Bytes& value)
{
    Bytes out(tag, tag + 4);
    const std::uint32_t n = std::uint32_t(value.size());
    out.insert(out.end(), {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)});
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes number(std::uint32_t n)
{
    return {std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes keybagHeader(std::uint32_t iter, bool withDp)
{
    Bytes header = concat({record("VERS", number(3)), record("TYPE", number(1)), record("UUID", repeated(9, 16)),
                           record("WRAP", number(0)), record("SALT", repeated(7, 20)), record("ITER", number(iter))});
    if (withDp)
        header = concat({header, record("DPWT", number(1)), record("DPIC", number(100)), record("DPSL", repeated(8, 20))});
    return header;
}

Bytes classKey(std::uint32_t protectionClass, std::uint32_t wrap, const Bytes& wpky)
{
    return concat({record("UUID", repeated(std::uint8_t(protectionClass), 16)), record("CLAS", number(protectionClass)),
                   record("WRAP", number(wrap)), record("KTYP", number(0)), record("WPKY", wpky)});
}

TEST(BackupKeybagTest, UnlocksWithTheDerivedKeyOnly)
{
    for (const bool withDp : {true, false}) {
        // A keybag made here the way the generator makes one: class keys wrapped
        // with the key derived from the password.
        BackupKeybag probe = *BackupKeybag::parse(
            concat({keybagHeader(50, withDp), classKey(1, 2, repeated(0, 40))}), nullptr);
        Bytes derived;
        ASSERT_TRUE(probe.deriveKey("secret", &derived));
        Bytes manual;
        if (withDp) {
            Bytes first;
            ASSERT_TRUE(BackupCrypto::pbkdf2Reference(BackupCrypto::Digest::Sha256, "secret", repeated(8, 20), 100, 32,
                                                      &first));
            ASSERT_TRUE(BackupCrypto::pbkdf2Reference(BackupCrypto::Digest::Sha1, std::string(first.begin(), first.end()),
                                                      repeated(7, 20), 50, 32, &manual));
        } else {
            ASSERT_TRUE(BackupCrypto::pbkdf2Reference(BackupCrypto::Digest::Sha1, "secret", repeated(7, 20), 50, 32,
                                                      &manual));
        }
        EXPECT_EQ(derived, manual);
        EXPECT_EQ(probe.derivationWork(), withDp ? 100u + 2 * 50 : 2 * 50u);

        const Bytes classOne = repeated(0x11, 32), classThree = repeated(0x33, 32);
        Bytes wrappedOne, wrappedThree;
        ASSERT_TRUE(BackupCrypto::wrapKey(derived, classOne, &wrappedOne));
        ASSERT_TRUE(BackupCrypto::wrapKey(derived, classThree, &wrappedThree));
        const Bytes data = concat({keybagHeader(50, withDp), classKey(1, 2, wrappedOne), classKey(3, 3, wrappedThree),
                                   classKey(5, 1, repeated(0xEE, 40))});
        std::string why;
        auto bag = BackupKeybag::parse(data, &why);
        ASSERT_TRUE(bag) << why;
        EXPECT_EQ(bag->classes().size(), 3u);

        Bytes wrong;
        ASSERT_TRUE(bag->deriveKey("Secret", &wrong));
        EXPECT_FALSE(bag->unlock(wrong));
        EXPECT_FALSE(bag->unlocked());
        ASSERT_TRUE(bag->unlock(derived));

        const Bytes fileKey = repeated(0x42, 32);
        Bytes wrappedFileKey, unwrapped;
        ASSERT_TRUE(BackupCrypto::wrapKey(classThree, fileKey, &wrappedFileKey));
        EXPECT_TRUE(bag->unwrap(3, wrappedFileKey, &unwrapped));
        EXPECT_EQ(unwrapped, fileKey);
        EXPECT_FALSE(bag->unwrap(1, wrappedFileKey, &unwrapped)); // another class's key
        EXPECT_FALSE(bag->unwrap(5, wrappedFileKey, &unwrapped)); // device-wrapped: locked
        EXPECT_FALSE(bag->unwrap(7, wrappedFileKey, &unwrapped)); // no such class
    }
}

TEST(BackupKeybagTest, DamagedKeybagsAreRefusedWithAReason)
{
    const Bytes good = concat({keybagHeader(10, true), classKey(1, 2, repeated(1, 40))});
    ASSERT_TRUE(BackupKeybag::parse(good, nullptr));
    Bytes lengthBeyond = good;
    lengthBeyond[4] = 0x7F; // VERS claims 2 GB
    Bytes manyClasses = keybagHeader(10, true);
    for (std::uint32_t c = 0; c <= InputLimits::kMaxKeybagClasses; ++c)
        manyClasses = concat({manyClasses, classKey(c, 2, repeated(1, 40))});

    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"empty", Bytes()},
        {"cut inside a tag", Bytes(good.begin(), good.begin() + 6)},
        {"cut inside a value", Bytes(good.begin(), good.end() - 3)},
        {"length beyond the end", lengthBeyond},
        {"no salt", concat({record("UUID", repeated(9, 16)), record("ITER", number(10)), classKey(1, 2, repeated(1, 40))})},
        {"no iterations", concat({record("UUID", repeated(9, 16)), record("SALT", repeated(7, 20)), classKey(1, 2, repeated(1, 40))})},
        {"zero iterations", concat({keybagHeader(0, false), classKey(1, 2, repeated(1, 40))})},
        {"iterations beyond the limit",
         concat({keybagHeader(InputLimits::kMaxKeyDerivationIterations + 1, false), classKey(1, 2, repeated(1, 40))})},
        {"ITER of two bytes", concat({record("UUID", repeated(9, 16)), record("SALT", repeated(7, 20)),
                                      record("ITER", Bytes{0, 10}), classKey(1, 2, repeated(1, 40))})},
        {"short wrapped key", concat({keybagHeader(10, true), classKey(1, 2, repeated(1, 39))})},
        {"class without CLAS", concat({keybagHeader(10, true), record("UUID", repeated(1, 16)), record("WRAP", number(2)),
                                       record("WPKY", repeated(1, 40))})},
        {"no password-wrapped class", concat({keybagHeader(10, true), classKey(1, 1, repeated(1, 40))})},
        {"no class at all", keybagHeader(10, true)},
        {"too many classes", manyClasses},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(BackupKeybag::parse(c.data, &why)) << c.name;
        EXPECT_FALSE(why.empty()) << c.name;
    }
}

// ---- Whole backups ----------------------------------------------------------

struct GeneratedPair {
    QString encrypted;
    QString plain;
};

// An encrypted backup and its unencrypted twin of the same content.
GeneratedPair generatePair(const QTemporaryDir& temp, const QStringList& layout, const QStringList& encryption)
{
    GeneratedPair pair{temp.filePath("enc"), temp.filePath("plain")};
    test::generateBackup(pair.plain, layout + QStringList{"--placeholder-db", "--accounts", "2"});
    test::generateBackup(pair.encrypted,
                         layout + QStringList{"--placeholder-db", "--accounts", "2", "--encrypted", "--password",
                                              "correct horse"} + encryption);
    return pair;
}

// Every file of the plain backup but the manifests, relative to it.
QStringList storedFiles(const QString& backup)
{
    QStringList files;
    QDirIterator it(backup, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = QDir(backup).relativeFilePath(it.next());
        if (!name.startsWith(QLatin1String("Manifest.")) && !name.endsWith(QLatin1String(".plist")))
            files << name;
    }
    return files;
}

struct LayoutCase {
    const char* layout;
    bool legacyKdf;
};

class DecryptionRoundTrip : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(DecryptionRoundTrip, EveryMessengerFileDecryptsToItsTwin)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    QStringList encryption{"--kdf-iterations", "1000"};
    if (GetParam().legacyKdf)
        encryption << "--legacy-kdf";
    const GeneratedPair pair = generatePair(temp, {"--layout", GetParam().layout}, encryption);
    const test::DirectorySnapshot before = test::snapshot(pair.encrypted);

    EncryptedBackup backup;
    ASSERT_TRUE(backup.open(pair.encrypted.toStdString()).ok());
    const auto wrong = backup.unlock("correct horse ");
    EXPECT_EQ(wrong.failure, Failure::WrongPassword);
    EXPECT_EQ(wrong.message, "wrong backup password");
    ASSERT_TRUE(backup.unlock("correct horse").ok());

    const QString out = temp.filePath("decrypted");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(backup.decryptManifest(out, "AppDomain-com.tencent.xin").ok());
    // The messenger's records carry keys; other domains were never read.
    EXPECT_GT(backup.fileRecords().size(), 10u);
    int compared = 0;
    for (const QString& name : storedFiles(pair.plain)) {
        const auto record = backup.fileRecords().find(name.toStdString());
        if (record == backup.fileRecords().end())
            continue;
        const auto outcome = backup.decryptFile(name.toStdString());
        ASSERT_TRUE(outcome.ok()) << outcome.message;
        EXPECT_EQ(test::readFile(out + "/" + name), test::readFile(pair.plain + "/" + name)) << name.toStdString();
        EXPECT_TRUE(backup.isDecrypted(name.toStdString()));
        ++compared;
    }
    // Every record with a key was compared (a Manifest.mbdb also lists directories, without one).
    const auto keyed = std::count_if(backup.fileRecords().begin(), backup.fileRecords().end(),
                                     [](const auto& entry) { return entry.second.hasKey(); });
    EXPECT_EQ(compared, int(keyed));
    EXPECT_TRUE(before == test::snapshot(pair.encrypted));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DecryptionRoundTrip,
                         ::testing::Values(LayoutCase{"db", false}, LayoutCase{"db", true}, LayoutCase{"mbdb", false}),
                         [](const ::testing::TestParamInfo<LayoutCase>& info) {
                             return std::string(info.param.layout) + (info.param.legacyKdf ? "_legacy_kdf" : "");
                         });

TEST(DecryptionFailures, DamagedFilesMissingKeysAndKeybags)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const GeneratedPair pair =
        generatePair(temp, {"--layout", "db"}, {"--kdf-iterations", "1000", "--without-key", "mmsetting.archive"});
    EncryptedBackup backup;
    ASSERT_TRUE(backup.open(pair.encrypted.toStdString()).ok());
    ASSERT_TRUE(backup.unlock("correct horse").ok());
    const QString out = temp.filePath("decrypted");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(backup.decryptManifest(out, "AppDomain-com.tencent.xin").ok());

    // The files of the first account by what they are.
    std::map<std::string, std::string> byPath;
    for (const MbdbRecord& r : ManifestDb::readFiles((out + "/Manifest.db").toStdString()))
        if (r.domain == "AppDomain-com.tencent.xin")
            byPath[r.path] = r.fileName;
    std::string database, settings, picture;
    for (const auto& [path, fileName] : byPath) {
        if (path.size() > 12 && path.compare(path.size() - 12, 12, "DB/MM.sqlite") == 0 && database.empty())
            database = fileName;
        if (path.find("mmsetting.archive") != std::string::npos)
            settings = fileName;
        if (path.find("/Img/") != std::string::npos && path.find(".pic") != std::string::npos)
            picture = fileName;
    }
    ASSERT_FALSE(database.empty());
    ASSERT_FALSE(settings.empty());
    ASSERT_FALSE(picture.empty());

    // A record without a key: the file cannot be decrypted, and nothing is written.
    EXPECT_EQ(backup.decryptFile(settings).failure, Failure::NoKey);
    EXPECT_FALSE(QFile::exists(out + "/" + QString::fromStdString(settings)));

    // A file cut off at a block boundary, inside a block, or changed in its last block.
    const QString databaseFile = pair.encrypted + "/" + QString::fromStdString(database);
    const QByteArray original = test::readFile(databaseFile);
    QByteArray changedEnd = original;
    changedEnd[changedEnd.size() - 1] = char(changedEnd[changedEnd.size() - 1] ^ 1);
    for (const QByteArray& content : {original.left(original.size() - 16), original.left(original.size() - 5),
                                      original.left(100), changedEnd}) {
        test::writeFile(databaseFile, content);
        const auto outcome = backup.decryptFile(database);
        EXPECT_EQ(outcome.failure, Failure::DamagedFile) << outcome.message;
        EXPECT_FALSE(QFile::exists(out + "/" + QString::fromStdString(database)));
        EXPECT_FALSE(QFile::exists(out + "/" + QString::fromStdString(database) + ".part"));
    }
    test::writeFile(databaseFile, original);
    EXPECT_TRUE(backup.decryptFile(database).ok());
    EXPECT_TRUE(backup.decryptFile(picture).ok());

    // Keybags that are missing or damaged, in an otherwise readable Manifest.plist.
    const QByteArray encryptedFlag = "<key>IsEncrypted</key><true/>";
    for (const QByteArray& body :
         {encryptedFlag, encryptedFlag + "<key>BackupKeyBag</key><data>AAAA</data>",
          encryptedFlag + "<key>BackupKeyBag</key><string>VERS</string>"}) {
        test::writeFile(pair.encrypted + "/Manifest.plist", test::xmlPlist("<dict>" + body + "</dict>"));
        EncryptedBackup damaged;
        const auto outcome = damaged.open(pair.encrypted.toStdString());
        EXPECT_EQ(outcome.failure, Failure::DamagedKeybag) << body.toStdString();
        EXPECT_NE(outcome.message.find("keybag"), std::string::npos);
    }
    test::writeFile(pair.encrypted + "/Manifest.plist", test::xmlPlist("<dict><key>IsEncrypted</key><false/></dict>"));
    EXPECT_EQ(EncryptedBackup().open(pair.encrypted.toStdString()).failure, Failure::NotEncrypted);
}

// The iteration count iOS writes (ten million) is unlocked once by
// bench/decrypt_bench, outside the sanitizers' slowdown.

} // namespace
} // namespace talwen::backup
