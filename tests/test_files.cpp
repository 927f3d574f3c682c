// labels.dat and program files on real filesystems: full disks, files that are not regular
// files, folders and files the user may not write, links and ownership. Cases that need another
// user run in a child process that drops to "nobody" when the suite runs as root.
#include "support/WindowRig.h"

#include "model/LabelFile.h"
#include "model/LabelTable.h"
#include "model/SafeFile.h"

#include <QFile>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

labels::LabelTable filled(char fill) {
    labels::LabelTable table = labels::defaultLabels();
    for (std::string& label : table)
        label = std::string(19, fill);
    return table;
}

QByteArray imageOf(const labels::LabelTable& table) {
    const labels::LabelImage image = labels::encodeLabelImage(table);
    return QByteArray(image.data(), static_cast<qsizetype>(image.size()));
}

// Runs `body` as an ordinary user: in a child that drops to nobody when this process is root,
// since root passes every permission check. Returns the body's result (a bool as exit status).
bool asOrdinaryUser(const QString& folder, const std::function<bool()>& body) {
    if (::geteuid() != 0)
        return body();
    const std::string path = QFile::encodeName(folder).toStdString();
    if (::chown(path.c_str(), kNobody, kNobody) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped =
            ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
        ::_exit(dropped && body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A folder whose filesystem is full: a small tmpfs filled to the last block (root only).
class FullTmpfs {
public:
    FullTmpfs() {
        const std::string path = QFile::encodeName(dir_.path()).toStdString();
        mounted_ =
            ::geteuid() == 0 && ::mount("tambrook-test", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~FullTmpfs() {
        if (mounted_)
            ::umount2(QFile::encodeName(dir_.path()).constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    QString path(const QString& name) const { return dir_.filePath(name); }
    void fill() {
        const int fd = ::open(QFile::encodeName(path(QStringLiteral("filler"))).constData(),
                              O_WRONLY | O_CREAT, 0600);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
};

// Lowers the file-size limit for this process, so that a write past it fails with EFBIG (the
// signal it would raise is ignored), and restores both on destruction.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
};

} // namespace

class FilesTest : public QObject {
    Q_OBJECT
private slots:
    void fullDiskKeepsTheOldFiles_data();
    void fullDiskKeepsTheOldFiles();
    void specialFilesNeverBlock();
    void readOnlyFolderWritesInPlace();
    void unreadableLabelsAreNeverOverwritten();
    void plantedLinksAreNotFollowed();
    void replacedFilesKeepOwnerAndMode();
};

void FilesTest::fullDiskKeepsTheOldFiles_data() {
    QTest::addColumn<bool>("tmpfs");
    QTest::newRow("file-size limit") << false;
    QTest::newRow("full tmpfs") << true;
}

// A save that cannot be completed leaves the old file exactly as it was: for a program file the
// user is told which file and why; labels.dat stays silent.
void FilesTest::fullDiskKeepsTheOldFiles() {
    QFETCH(bool, tmpfs);
    FullTmpfs disk;
    if (tmpfs && !disk.mounted())
        QSKIP("mounting a tmpfs needs root");
    Rig rig;
    const QString folder =
        QFileInfo(tmpfs ? disk.path(QStringLiteral("x")) : rig.path(QStringLiteral("x")))
            .absolutePath();
    const QString labels = folder + QStringLiteral("/labels.dat");
    const QString program = folder + QStringLiteral("/prog.txt");
    const QByteArray oldLabels = imageOf(filled('o'));
    const QByteArray oldProgram("11111111-1\r\n");
    QVERIFY(writeFile(labels, oldLabels));
    QVERIFY(writeFile(program, oldProgram));
    rig.setRows(std::vector<std::string>(50, "10000000-9999"));

    std::unique_ptr<FileSizeLimit> limit;
    if (tmpfs)
        disk.fill();
    else
        limit = std::make_unique<FileSizeLimit>(100); // both new files are larger
    QVERIFY(!labels::writeLabelsFile(labels, filled('n')));
    rig.platform.nextSaveName = folder + QStringLiteral("/prog");
    rig.form1->Button20Click();
    limit.reset();

    QCOMPARE(readFile(labels), oldLabels);
    QCOMPARE(readFile(program), oldProgram);
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors[0].contains(QDir::toNativeSeparators(program)));
    QVERIFY(rig.platform.errors[0].contains(tmpfs ? QStringLiteral("No space left on device")
                                                  : QStringLiteral("File too large")));
    // No temporary file is left behind.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), tmpfs ? 3 : 2);
}

// A FIFO or a device is never read from or written to: labels.dat gives the defaults, a program
// file is refused with a message, and nothing waits.
void FilesTest::specialFilesNeverBlock() {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("labels.dat"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QCOMPARE(labels::readLabelsFile(fifo), labels::defaultLabels());
    QVERIFY(!labels::writeLabelsFile(fifo, filled('n')));
    QCOMPARE(labels::readLabelsFile(QStringLiteral("/dev/zero")), labels::defaultLabels());
    QVERIFY(!labels::writeLabelsFile(QStringLiteral("/dev/null"), filled('n')));
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(fifo).constData(), &info), 0);
    QVERIFY(S_ISFIFO(info.st_mode));

    // The window starts beside a FIFO named labels.dat, and its saves leave it alone.
    Rig rig(0, [](RecordingDriver&) { QCOMPARE(::mkfifo("labels.dat", 0600), 0); });
    QCOMPARE(rig.button("Button2")->caption(), QStringLiteral("Relay 1 OFF"));
    rig.form1->ButtonMouseDown(1, Qt::LeftButton);
    QCOMPARE(::stat("labels.dat", &info), 0);
    QVERIFY(S_ISFIFO(info.st_mode));

    rig.setRows({"10000000-1"});
    for (const QString& path : {fifo, QStringLiteral("/dev/zero")}) {
        rig.platform.errors.clear();
        rig.platform.nextOpenName = path;
        rig.form1->Button19Click();
        QCOMPARE(rig.platform.errors.size(), 1);
        QVERIFY(rig.platform.errors[0].contains(QStringLiteral("not a regular file")));
        QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-1"}));
    }
    rig.platform.nextSaveName = fifo.chopped(4); // "labels" + ".txt" is not the FIFO
    QVERIFY(QFile::rename(fifo, fifo.chopped(4) + QStringLiteral(".txt")));
    rig.platform.errors.clear();
    rig.form1->Button20Click();
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors[0].contains(QStringLiteral("not a regular file")));
}

// A folder that refuses new files still lets a writable labels.dat or program file be saved, in
// place; a folder that takes new files gets the atomic replacement.
void FilesTest::readOnlyFolderWritesInPlace() {
    QTemporaryDir dir;
    const QString labels = dir.filePath(QStringLiteral("labels.dat"));
    const QString program = dir.filePath(QStringLiteral("prog.txt"));
    QVERIFY(writeFile(labels, imageOf(filled('o'))));
    QVERIFY(writeFile(program, "00000000-0\r\n"));
    if (::geteuid() == 0) {
        QCOMPARE(::chown(QFile::encodeName(labels).constData(), kNobody, kNobody), 0);
        QCOMPARE(::chown(QFile::encodeName(program).constData(), kNobody, kNobody), 0);
    }
    QVERIFY(asOrdinaryUser(dir.path(), [&] {
        const QByteArray folder = QFile::encodeName(dir.path());
        if (::chmod(folder.constData(), 0555) != 0)
            return false;
        const bool saved = labels::writeLabelsFile(labels, filled('n')) &&
                           !safefile::replaceFile(QFile::encodeName(program).toStdString(),
                                                  "11111111-5\r\n01010101-7\r\n");
        ::chmod(folder.constData(), 0755);
        return saved;
    }));
    QCOMPARE(readFile(labels), imageOf(filled('n')));
    QCOMPARE(readFile(program), QByteArray("11111111-5\r\n01010101-7\r\n"));
}

// A labels.dat this user cannot read gives the default labels and is never written over.
void FilesTest::unreadableLabelsAreNeverOverwritten() {
    QTemporaryDir dir;
    const QString labels = dir.filePath(QStringLiteral("labels.dat"));
    QVERIFY(writeFile(labels, imageOf(filled('o'))));
    if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(labels).constData(), kNobody, kNobody), 0);
    QVERIFY(asOrdinaryUser(dir.path(), [&] {
        if (::chmod(QFile::encodeName(labels).constData(), 0200) != 0)
            return false;
        return labels::readLabelsFile(labels) == labels::defaultLabels() &&
               !labels::writeLabelsFile(labels, labels::defaultLabels());
    }));
    QFile::setPermissions(labels, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(readFile(labels), imageOf(filled('o')));
}

// In a sticky world-writable folder a link planted by another user is not followed, even by
// root: its target keeps its content. A link of one's own is followed and its target replaced.
void FilesTest::plantedLinksAreNotFollowed() {
    if (::geteuid() != 0)
        QSKIP("planting a link owned by another user needs root");
    QTemporaryDir dir;
    const QString shared = dir.filePath(QStringLiteral("shared"));
    QVERIFY(QDir().mkdir(shared));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
    const QString victim = dir.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "precious"));
    const QString link = shared + QStringLiteral("/labels.dat");
    QVERIFY(QFile::link(victim, link));
    QCOMPARE(::lchown(QFile::encodeName(link).constData(), kNobody, kNobody), 0);

    QVERIFY(safefile::inspectDestination(QFile::encodeName(link).toStdString()).untrustedLink);
    // Loading names the link once on stderr, as its label changes will not be saved.
    const QString captured = dir.filePath(QStringLiteral("stderr"));
    const int saved = ::dup(STDERR_FILENO);
    const int sink = ::open(QFile::encodeName(captured).constData(), O_WRONLY | O_CREAT, 0600);
    ::dup2(sink, STDERR_FILENO);
    labels::readLabelsFile(link);
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(sink);
    ::close(saved);
    const QList<QByteArray> warnings = readFile(captured).trimmed().split('\n');
    QCOMPARE(warnings.size(), 1);
    QVERIFY(warnings[0].contains("symbolic link owned by another user"));
    QVERIFY(!labels::writeLabelsFile(link, filled('n')));
    QCOMPARE(readFile(victim), QByteArray("precious"));
    QVERIFY(QFileInfo(link).isSymLink());

    QCOMPARE(::lchown(QFile::encodeName(link).constData(), 0, 0), 0); // now root's own link
    QVERIFY(labels::writeLabelsFile(link, filled('n')));
    QCOMPARE(readFile(victim), imageOf(filled('n')));
    QVERIFY(QFileInfo(link).isSymLink());
}

// Replacing a file keeps its owner, group and mode, so that a run as root does not take a
// user's labels.dat away from them.
void FilesTest::replacedFilesKeepOwnerAndMode() {
    QTemporaryDir dir;
    const QString labels = dir.filePath(QStringLiteral("labels.dat"));
    QVERIFY(writeFile(labels, imageOf(filled('o'))));
    const QByteArray path = QFile::encodeName(labels);
    QCOMPARE(::chmod(path.constData(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root)
        QCOMPARE(::chown(path.constData(), kNobody, kNobody), 0);
    QVERIFY(labels::writeLabelsFile(labels, filled('n')));
    QCOMPARE(readFile(labels), imageOf(filled('n')));
    struct stat info {};
    QCOMPARE(::stat(path.constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0640u);
    if (root) {
        QCOMPARE(info.st_uid, kNobody);
        QCOMPARE(info.st_gid, static_cast<gid_t>(kNobody));
    }
    // A new file gets the mode any new file would get, not a temporary file's 0600.
    const mode_t mask = ::umask(022);
    const QString fresh = dir.filePath(QStringLiteral("fresh.dat"));
    QVERIFY(labels::writeLabelsFile(fresh, filled('n')));
    ::umask(mask);
    QCOMPARE(::stat(QFile::encodeName(fresh).constData(), &info), 0);
    QCOMPARE(info.st_mode & 07777, 0644u);
}

QTEST_MAIN(FilesTest)
#include "test_files.moc"
