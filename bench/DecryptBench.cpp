// Encrypted backups at the iteration counts iOS writes: how long the password
// takes to check (the derivation the user waits for), against libcrypto's own
// PBKDF2 in one call, and the decryption speed of a large file.
#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

#include "backup/BackupCrypto.h"
#include "backup/EncryptedBackup.h"

using talwen::backup::BackupCrypto;
using talwen::backup::Bytes;
using talwen::backup::EncryptedBackup;

namespace {

const char* const kPassword = "bench password";

// One encrypted backup with the real counts, generated once.
const QString& realBackup() {
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString out = dir.filePath("backup");
        QProcess gen;
        gen.start("python3", {WCR_TOOLS_DIR "/gen_backup.py", "--out", out, "--placeholder-db", "--encrypted",
                              "--password", kPassword});
        if (!gen.waitForFinished(600000) || gen.exitCode() != 0) {
            std::fprintf(stderr, "gen_backup.py failed\n");
            std::exit(1);
        }
        return out;
    }();
    return path;
}

void BM_UnlockRealIterations(benchmark::State& state) {
    for (auto _ : state) {
        EncryptedBackup backup;
        if (!backup.open(realBackup().toStdString()).ok()) state.SkipWithError("open failed");
        const auto unlocked = backup.unlock(kPassword);
        if (!unlocked.ok()) state.SkipWithError(unlocked.message.c_str());
        QTemporaryDir out;
        if (!backup.decryptManifest(out.path(), "AppDomain-com.tencent.xin").ok())
            state.SkipWithError("manifest failed");
        state.counters["iterations"] = double(backup.derivationWork());
    }
}
BENCHMARK(BM_UnlockRealIterations)->Unit(benchmark::kMillisecond)->Iterations(1);

// The derivation's first step in one libcrypto call: what the sliced one costs more.
void BM_LibcryptoPbkdf2Sha256(benchmark::State& state) {
    const Bytes salt(20, 7);
    for (auto _ : state) {
        Bytes key;
        BackupCrypto::pbkdf2Reference(BackupCrypto::Digest::Sha256, kPassword, salt, 10000000, 32, &key);
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_LibcryptoPbkdf2Sha256)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_SlicedPbkdf2Sha256(benchmark::State& state) {
    const Bytes salt(20, 7);
    for (auto _ : state) {
        Bytes key;
        BackupCrypto::pbkdf2(BackupCrypto::Digest::Sha256, kPassword, salt, 10000000, 32, &key,
                             [](std::uint64_t) { return true; });
        benchmark::DoNotOptimize(key.data());
    }
}
BENCHMARK(BM_SlicedPbkdf2Sha256)->Unit(benchmark::kMillisecond)->Iterations(1);

// AES-256-CBC over a 64 MB file, read and written in chunks.
void BM_DecryptLargeFile(benchmark::State& state) {
    QTemporaryDir dir;
    const QString source = dir.filePath("cipher");
    {
        QFile file(source);
        file.open(QIODevice::WriteOnly);
        const QByteArray chunk(1 << 20, '\x5a');
        for (int i = 0; i < 64; ++i) file.write(chunk);
    }
    const Bytes key(32, 1);
    int round = 0;
    for (auto _ : state) {
        const QString target = dir.filePath("plain" + QString::number(round++));
        const auto outcome = EncryptedBackup::decryptStream(source, target, key, std::nullopt);
        if (!outcome.ok()) state.SkipWithError(outcome.message.c_str());
        QFile::remove(target);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * (64 << 20));
}
BENCHMARK(BM_DecryptLargeFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
