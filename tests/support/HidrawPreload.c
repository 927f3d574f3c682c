// Preloaded after umockdev's own library in the suites that emulate hidraw devices. umockdev
// (0.17) stands a pseudo-terminal in for an emulated node, and its fstat() gives that terminal's
// numbers, not the node's, while hidapi's string and device-info calls look the device up in
// sysfs by the numbers fstat() gives. Here fstat() on an emulated node gives the node's numbers
// (its "dev" attribute in the testbed's sysfs); every other file is left as it is.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// The emulated node behind fd: umockdev opens a pseudo-terminal for it, which its testbed's
// "<testbed>/dev/<node>" links to. Fills in the node's name ("hidraw0").
static int emulatedNodeName(int fd, char* name, size_t size) {
    const char* root = getenv("UMOCKDEV_DIR");
    if (!root || !*root)
        return 0;
    char self[64], target[PATH_MAX];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(self, target, sizeof target - 1);
    if (length <= 0)
        return 0;
    target[length] = '\0';
    if (strncmp(target, "/dev/pts/", 9) != 0)
        return 0;
    char pattern[2 * PATH_MAX];
    snprintf(pattern, sizeof pattern, "%s/dev/*", root);
    glob_t found;
    int ok = 0;
    if (glob(pattern, 0, NULL, &found) == 0) {
        for (size_t i = 0; i < found.gl_pathc && !ok; ++i) {
            char link[PATH_MAX];
            const ssize_t n = readlink(found.gl_pathv[i], link, sizeof link - 1);
            if (n <= 0)
                continue;
            link[n] = '\0';
            if (strcmp(link, target) == 0) {
                snprintf(name, size, "%s", strrchr(found.gl_pathv[i], '/') + 1);
                ok = 1;
            }
        }
    }
    globfree(&found);
    return ok;
}

// The node's numbers from "<testbed>/sys/class/*/<name>/dev".
static int nodeNumbers(const char* name, unsigned* major, unsigned* minor) {
    char pattern[2 * PATH_MAX];
    snprintf(pattern, sizeof pattern, "%s/sys/class/*/%s/dev", getenv("UMOCKDEV_DIR"), name);
    glob_t found;
    int ok = 0;
    if (glob(pattern, 0, NULL, &found) == 0 && found.gl_pathc > 0) {
        FILE* file = fopen(found.gl_pathv[0], "re");
        if (file) {
            ok = fscanf(file, "%u:%u", major, minor) == 2;
            fclose(file);
        }
    }
    globfree(&found);
    return ok;
}

static void asCharacterDevice(int fd, struct stat* st) {
    char name[NAME_MAX + 1];
    unsigned major = 0, minor = 0;
    if (!emulatedNodeName(fd, name, sizeof name) || !nodeNumbers(name, &major, &minor))
        return;
    st->st_rdev = makedev(major, minor);
}

int fstat(int fd, struct stat* st) {
    static int (*real)(int, struct stat*);
    if (!real)
        real = (int (*)(int, struct stat*))dlsym(RTLD_NEXT, "fstat");
    const int result = real(fd, st);
    if (result == 0)
        asCharacterDevice(fd, st);
    return result;
}

int fstat64(int fd, struct stat64* st) {
    static int (*real)(int, struct stat64*);
    if (!real)
        real = (int (*)(int, struct stat64*))dlsym(RTLD_NEXT, "fstat64");
    const int result = real(fd, st);
    if (result == 0)
        asCharacterDevice(fd, (struct stat*)st); // the same layout on 64-bit systems
    return result;
}
