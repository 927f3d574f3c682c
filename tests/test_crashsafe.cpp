// labels.dat survives a crash during a save: a child process saves in a loop and is killed with
// SIGKILL at random moments; after every kill the file is whole and holds one of the two tables.
#include "labels/LabelStore.h"
#include "labels/LabelTable.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

namespace {

labels::LabelTable table(char fill) {
    labels::LabelTable t = labels::defaultLabels();
    for (std::string& label : t)
        label = std::string(19, fill);
    return t;
}

[[noreturn]] void saveForever(const QString& path) {
    const labels::LabelTable a = table('a');
    const labels::LabelTable b = table('b');
    for (unsigned n = 0;; ++n)
        labels::writeLabelsFile(path, n % 2 ? b : a);
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
    QVERIFY(labels::writeLabelsFile(path, table('a')));
    int kills = 0;
    for (int round = 0; round < 200; ++round) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--save-loop"), path});
        QVERIFY(child.waitForStarted());
        QThread::usleep(QRandomGenerator::global()->bounded(500, 15000));
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        child.waitForFinished();
        ++kills;
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QCOMPARE(bytes.size(), 320);
        const labels::LabelTable loaded = labels::decodeLabelImage(bytes.toStdString());
        QVERIFY(loaded == table('a') || loaded == table('b'));
    }
    QCOMPARE(kills, 200);
}

int main(int argc, char* argv[]) {
    if (argc == 3 && QByteArray(argv[1]) == "--save-loop")
        saveForever(QString::fromLocal8Bit(argv[2]));
    QCoreApplication application(argc, argv);
    CrashSafeTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_crashsafe.moc"
