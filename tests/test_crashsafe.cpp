// labels.dat survives a crash during a save: a child process saves two tables in turn, and is
// killed with SIGKILL while it saves; after every kill the file is whole and holds one of the two.
// The child marks in shared memory when a save is under way, so the test knows that its kills
// land inside saves and not before the first one.
#include "model/LabelFile.h"
#include "model/LabelTable.h"
#include "support/Processes.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Shared between the test and its saving child through a mapped file.
struct SaveProgress {
    std::atomic<std::uint32_t> savesStarted;
    std::atomic<std::uint32_t> saving; // 1 while a save is under way
};

SaveProgress* mapProgress(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ::ftruncate(fd, sizeof(SaveProgress)) != 0)
        return nullptr;
    void* shared = ::mmap(nullptr, sizeof(SaveProgress), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    return shared == MAP_FAILED ? nullptr : static_cast<SaveProgress*>(shared);
}

labels::LabelTable table(char fill) {
    labels::LabelTable t = labels::defaultLabels();
    for (std::string& label : t)
        label = std::string(19, fill);
    return t;
}

[[noreturn]] void saveForever(const QString& path, const QString& progressPath) {
    SaveProgress* progress = mapProgress(progressPath);
    if (!progress)
        ::_exit(2);
    const labels::LabelTable a = table('a');
    const labels::LabelTable b = table('b');
    for (unsigned n = 1;; ++n) {
        progress->saving = 1;
        progress->savesStarted.fetch_add(1);
        labels::writeLabelsFile(path, n % 2 ? b : a);
        progress->saving = 0;
    }
}

} // namespace

class CrashSafeTest : public QObject {
    Q_OBJECT
private slots:
    void killedSavesLeaveOldOrNewFile();
};

void CrashSafeTest::killedSavesLeaveOldOrNewFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("labels.dat"));
    const QString progressPath = dir.filePath(QStringLiteral("progress"));
    QVERIFY(labels::writeLabelsFile(path, table('a')));
    constexpr int kRounds = 200;
    int killsInSaves = 0;
    bool sawOld = false;
    bool sawNew = false;
    for (int round = 0; round < kRounds; ++round) {
        SaveProgress* progress = mapProgress(progressPath);
        QVERIFY(progress);
        progress->savesStarted = 0;
        progress->saving = 0;
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--save-loop"), path, progressPath});
        QVERIFY(child.waitForStarted());
        // The kill falls in the first to fourth save, at a random point of it, so that rounds end
        // with either table however long one save takes on this machine.
        const std::uint32_t target = QRandomGenerator::global()->bounded(1u, 5u);
        QDeadlineTimer deadline(10000);
        while (progress->savesStarted < target && !deadline.hasExpired())
            QThread::usleep(50);
        QVERIFY2(progress->savesStarted >= target, "the child never started saving");
        QThread::usleep(QRandomGenerator::global()->bounded(0, 2000));
        QVERIFY2(signalChild(child, SIGKILL), "the saving child had already exited");
        child.waitForFinished();
        killsInSaves += progress->saving.load() == 1 ? 1 : 0;
        ::munmap(progress, sizeof(SaveProgress));

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.size(), 320);
        const labels::LabelTable loaded = labels::decodeLabelImage(bytes.toStdString());
        QVERIFY(loaded == table('a') || loaded == table('b'));
        (loaded == table('a') ? sawOld : sawNew) = true;
    }
    qInfo("%d of %d kills landed while a save was under way", killsInSaves, kRounds);
    QVERIFY2(killsInSaves * 2 >= kRounds, "too few kills landed inside a save");
    QVERIFY(sawOld && sawNew);
}

int main(int argc, char* argv[]) {
    if (argc == 4 && QByteArray(argv[1]) == "--save-loop")
        saveForever(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    QCoreApplication application(argc, argv);
    CrashSafeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_crashsafe.moc"
