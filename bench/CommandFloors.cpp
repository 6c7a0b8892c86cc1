// The least work each whole command must do, as a program of its own, so
// scripts/measure-performance can put a floor beside every `lumifold` timing. Each floor does
// the same system calls the command cannot avoid (listing, attribute reads and writes, durable
// file writes) and nothing else: no planning, no checksums, no JSON trees. Output that a
// command prints or a file it writes is given as a file of the same bytes and streamed through.
//
//   command-floors noop
//   command-floors apply FOLDER... --manifest FILE --into DIR [--store STORE]
//   command-floors restore FOLDER... [--copy SOURCE TARGET]...
//   command-floors snapshots BACKUPS
//   command-floors preview FOLDER... --print FILE
//   command-floors tree-preview ROOT... --print FILE
//   command-floors dump STORE --print FILE
//   command-floors write TARGET --image FILE        (reads standard input first)
// and three helpers, never timed themselves:
//   command-floors time RESULT PROGRAM ARG...       (runs PROGRAM, writes to RESULT its wall
//                                                    seconds, maximum resident KiB and status)
//   command-floors show-extensions FOLDER...        (removes every file's record, every store)
//   command-floors hide-extensions FOLDER...        (sets every file's hidden-extension flag)
// STORE is where the flag lives, as `lumifold --metadata` names it: xattr (the default),
// samba, netatalk or appledouble.
// Wherever FOLDER... is taken, `--tree ROOT...` after it adds each ROOT and every folder below
// it, so a whole tree needs no argument per folder.
//
// Standalone on purpose (only the FinderInfo constants and the stores' fresh images come from the
// core), so the script can build it with one compiler call whatever state the build folders are
// in.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/platform/FileMetadata.h"
#include "core/platform/FinderInfoImage.h"

namespace {

namespace Format = lumifold::platform::FinderInfoFormat;
using FinderInfo = std::array<unsigned char, Format::kSize>;

constexpr std::size_t kBlock = 1 << 16;
constexpr std::size_t kHeaderBytes = 4096;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    std::fprintf(stderr, "command-floors: could not %s \"%s\": %s\n", what.c_str(), path.c_str(),
                 std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage() {
    std::fputs(
        "usage: command-floors noop|apply|restore|snapshots|preview|tree-preview|dump|write|"
        "show-extensions|hide-extensions ...\n",
        stderr);
    std::exit(2);
}

using Visit = std::function<void(const std::string&)>;

// Lists `folder` once and calls `file` with the path of every regular file whose name does not
// start with a dot, `subfolder` (when given) with every such folder, and `store` (when given)
// with the folder's store; straight from the listing's own type (one getdents, no stat), so a
// link, which the listing types as a link, is never followed.
void listFolder(const std::string& folder, const Visit& file, const Visit& subfolder = {},
                const Visit& store = {}) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) fail("list", folder);
    std::string path = folder + "/";
    const std::size_t stem = path.size();
    while (const dirent* entry = ::readdir(dir)) {
        const Visit* visit = nullptr;
        if (entry->d_name[0] != '.') {
            if (entry->d_type == DT_REG) visit = &file;
            if (entry->d_type == DT_DIR) visit = &subfolder;
        } else if (entry->d_type == DT_REG && std::strcmp(entry->d_name, ".DS_Store") == 0) {
            visit = &store;
        }
        if (visit == nullptr || !*visit) continue;
        path.resize(stem);
        path += entry->d_name;
        (*visit)(path);
    }
    ::closedir(dir);
}

// `root` and every folder below it, depth first, each listed once.
void walkTree(const std::string& root, const Visit& file, const Visit& store = {}) {
    std::vector<std::string> subfolders;
    listFolder(
        root, file, [&](const std::string& path) { subfolders.push_back(path); }, store);
    for (const auto& folder : subfolders) walkTree(folder, file, store);
}

// 0 when the attribute is absent; its length otherwise.
ssize_t readInfo(const std::string& path, FinderInfo& info) {
    const ssize_t length =
        ::lgetxattr(path.c_str(), Format::kAttributeName, info.data(), info.size());
    if (length < 0 && errno != ENODATA) fail("read the attribute of", path);
    return std::max<ssize_t>(length, 0);
}

using lumifold::platform::MetadataStore;
MetadataStore g_store = MetadataStore::xattr;

// The least a store costs: one read of the record's image and, to hide, one write of it (the
// attribute whole; a sidecar's two flag bytes in place, or the whole new sidecar).
struct Record {
    std::array<unsigned char, 4096> bytes{};
    ssize_t size = 0;  // 0: none
    std::size_t offset = 0;
    int sidecar = -1;
};

std::string sidecarOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return path.substr(0, slash + 1) + "._" + path.substr(slash + 1);
}

const char* attributeOf(MetadataStore store) {
    if (store == MetadataStore::samba) return lumifold::platform::AfpInfoFormat::kAttributeName;
    if (store == MetadataStore::netatalk) {
        return lumifold::platform::AppleDoubleFormat::kNetatalkAttributeName;
    }
    return Format::kAttributeName;
}

void readRecord(const std::string& path, Record& record) {
    if (g_store == MetadataStore::appledouble) {
        const std::string sidecar = sidecarOf(path);
        record.sidecar = ::open(sidecar.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (record.sidecar < 0) {
            if (errno != ENOENT) fail("open", sidecar);
            return;
        }
        record.size = ::read(record.sidecar, record.bytes.data(), record.bytes.size());
    } else {
        record.size = ::lgetxattr(path.c_str(), attributeOf(g_store), record.bytes.data(),
                                  record.bytes.size());
        if (record.size < 0 && errno != ENODATA) fail("read the attribute of", path);
    }
    record.size = std::max<ssize_t>(record.size, 0);
    const auto bytes = lumifold::ByteView(reinterpret_cast<const std::byte*>(record.bytes.data()),
                                          static_cast<std::size_t>(record.size));
    const auto offset = lumifold::platform::finder_info_image::finderInfoOffset(g_store, bytes);
    if (const auto* at = std::get_if<std::size_t>(&offset)) record.offset = *at;
}

void hideRecord(const std::string& path, Record& record) {
    const bool existed = record.size > 0;
    if (!existed) {
        const lumifold::Bytes fresh = lumifold::platform::finder_info_image::freshImage(g_store);
        std::memcpy(record.bytes.data(), fresh.data(), fresh.size());
        record.size = static_cast<ssize_t>(fresh.size());
        record.offset = std::get<std::size_t>(
            lumifold::platform::finder_info_image::finderInfoOffset(g_store, fresh));
    }
    unsigned char* flags = record.bytes.data() + record.offset + Format::kFlagsOffset;
    flags[1] = static_cast<unsigned char>(flags[1] | Format::kHasHiddenExtension);
    if (g_store != MetadataStore::appledouble) {
        if (::lsetxattr(path.c_str(), attributeOf(g_store), record.bytes.data(),
                        static_cast<std::size_t>(record.size),
                        existed ? XATTR_REPLACE : XATTR_CREATE) != 0) {
            fail("write the attribute of", path);
        }
        return;
    }
    const std::string sidecar = sidecarOf(path);
    if (existed) {
        if (::pwrite(record.sidecar, flags, 2, static_cast<off_t>(flags - record.bytes.data())) !=
            2) {
            fail("write", sidecar);
        }
    } else {
        record.sidecar =
            ::open(sidecar.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (record.sidecar < 0 || ::write(record.sidecar, record.bytes.data(),
                                          static_cast<std::size_t>(record.size)) != record.size) {
            fail("create", sidecar);
        }
    }
}

bool hiddenIn(const std::string& path) {
    Record record;
    readRecord(path, record);
    if (record.sidecar >= 0) ::close(record.sidecar);
    return record.size > 0 &&
           (record.bytes[record.offset + Format::kFlagsOffset + 1] & Format::kHasHiddenExtension);
}

void hideIn(const std::string& path) {
    Record record;
    readRecord(path, record);
    hideRecord(path, record);
    if (record.sidecar >= 0) ::close(record.sidecar);
}

void writeAll(int fd, const char* data, std::size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            fail("write", path);
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Streams `source` to `output` in blocks, so memory stays one block whatever the size.
void streamFile(const std::string& source, int output, const std::string& outputName) {
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("open", source);
    std::vector<char> block(kBlock);
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0) fail("read", source);
        if (got == 0) break;
        writeAll(output, block.data(), static_cast<std::size_t>(got), outputName);
    }
    ::close(fd);
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The durable replacement every rewrite of the real program makes: a temporary file beside
// the target, written, flushed, renamed over it, and the folder flushed.
void replaceDurably(const std::string& target, const std::function<void(int)>& fill) {
    const std::string temporary = target + ".floor-tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("create", temporary);
    fill(fd);
    if (::fsync(fd) != 0) fail("flush", temporary);
    ::close(fd);
    if (::rename(temporary.c_str(), target.c_str()) != 0) fail("rename", temporary);
    const int folder = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
}

void copyDurably(const std::string& source, const std::string& target) {
    replaceDurably(target, [&](int fd) { streamFile(source, fd, target); });
}

std::string readWhole(int fd, const std::string& name) {
    std::string text;
    std::vector<char> block(kBlock);
    for (;;) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got < 0) fail("read", name);
        if (got == 0) break;
        text.append(block.data(), static_cast<std::size_t>(got));
    }
    return text;
}

std::string readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("open", path);
    std::string text = readWhole(fd, path);
    ::close(fd);
    return text;
}

// Positional arguments up to the first "--" option, then the option's values.
struct Arguments {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::vector<std::string>>> options;

    Arguments(int argc, char** argv) {
        for (int i = 2; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg.starts_with("--")) {
                options.emplace_back(std::string(arg), std::vector<std::string>{});
            } else if (options.empty()) {
                positional.emplace_back(arg);
            } else {
                options.back().second.emplace_back(arg);
            }
        }
    }

    std::vector<std::string> values(std::string_view name) const {
        std::vector<std::string> all;
        for (const auto& [option, values] : options) {
            if (option == name) all.insert(all.end(), values.begin(), values.end());
        }
        return all;
    }

    std::string single(std::string_view name) const {
        for (const auto& [option, values] : options) {
            if (option == name && values.size() == 1) return values[0];
        }
        usage();
    }
};

// Every file of the folders the arguments name: each positional folder, then each --tree root
// and every folder below it.
void forEachFileOf(const Arguments& args, const Visit& visit, const Visit& store = {}) {
    for (const auto& folder : args.positional) listFolder(folder, visit, {}, store);
    for (const auto& root : args.values("--tree")) walkTree(root, visit, store);
}

// Flushes a file written whole; fails naming `path`.
void flush(int fd, const std::string& path) {
    if (::fsync(fd) != 0) fail("flush", path);
    ::close(fd);
}

// What a snapshot and a rewrite cost each store: read whole, copied into `into` and written
// anew beside itself (the same bytes: the floor knows no new ones), each file flushed, then
// put in the store's place, the copies' folder flushed once and each store's folder once.
void rewriteStores(const std::vector<std::string>& stores, const std::string& into) {
    for (std::size_t i = 0; i < stores.size(); ++i) {
        const std::string bytes = readFile(stores[i]);
        const std::string copy = into + "/store-" + std::to_string(i);
        const std::string temporary = stores[i] + ".floor-tmp";
        for (const std::string& path : {copy, temporary}) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0) fail("create", path);
            writeAll(fd, bytes.data(), bytes.size(), path);
            flush(fd, path);
        }
        // Exchanged, and what it displaced removed: a rename over the store would make the
        // file system flush the new file again.
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, stores[i].c_str(),
                        RENAME_EXCHANGE) != 0 ||
            ::unlink(temporary.c_str()) != 0) {
            fail("rename", temporary);
        }
        flush(::open(folderOf(stores[i]).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC),
              folderOf(stores[i]));
    }
    flush(::open(into.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), into);
}

// List the folders, one read and one write of the attribute per file, each store snapshotted
// and rewritten, the manifest written twice (as a snapshot is written before and completed
// after the changes), and a closing audit: list and one read per file again.
int applyFloor(const Arguments& args) {
    const std::string manifest = args.single("--manifest");
    const std::string into = args.single("--into");
    const std::string target = into + "/manifest.json";
    std::vector<std::string> stores;
    forEachFileOf(args, hideIn, [&](const std::string& store) { stores.push_back(store); });
    rewriteStores(stores, into);
    for (int pass = 0; pass < 2; ++pass) copyDurably(manifest, target);
    std::size_t visible = 0;
    forEachFileOf(args, [&](const std::string& path) {
        if (!hiddenIn(path)) ++visible;
    });
    return visible == 0 ? 0 : 3;
}

// One read and one write of each flag (the flag cleared, which leaves no attribute), and the
// snapshot's copies put back durably.
int restoreFloor(const Arguments& args) {
    forEachFileOf(args, [](const std::string& path) {
        FinderInfo info{};
        readInfo(path, info);
        if (::lremovexattr(path.c_str(), Format::kAttributeName) != 0 && errno != ENODATA) {
            fail("write the attribute of", path);
        }
    });
    for (const auto& [option, values] : args.options) {
        if (option != "--copy" || values.size() != 2) usage();
        copyDurably(values[0], values[1]);
    }
    return 0;
}

// Each snapshot's small header: the first block of its manifest.
int snapshotsFloor(const Arguments& args) {
    if (args.positional.size() != 1) usage();
    const std::string backups = args.positional[0];
    DIR* dir = ::opendir(backups.c_str());
    if (dir == nullptr) fail("list", backups);
    std::vector<std::string> lines;
    std::array<char, kHeaderBytes> header{};
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = backups + "/" + entry->d_name + "/manifest.json";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("open", path);
        if (::read(fd, header.data(), header.size()) < 0) fail("read", path);
        ::close(fd);
        lines.push_back(std::string(entry->d_name) + '\n');
    }
    ::closedir(dir);
    std::sort(lines.rbegin(), lines.rend());
    for (const auto& line : lines) writeAll(1, line.data(), line.size(), "standard output");
    return 0;
}

// Scan (list and one attribute read per file), sort what is visible, print the given bytes.
int previewFloor(const Arguments& args) {
    std::vector<std::string> visible;
    forEachFileOf(args, [&](const std::string& path) {
        FinderInfo info{};
        if (readInfo(path, info) != static_cast<ssize_t>(Format::kSize)) {
            visible.push_back(path);
        }
    });
    std::sort(visible.begin(), visible.end());
    streamFile(args.single("--print"), 1, "standard output");
    return 0;
}

// Walk each tree (each folder listed once, one attribute read per file, each store read whole,
// as a parser needs all of it), print the given bytes.
int treePreviewFloor(const Arguments& args) {
    std::size_t visible = 0;
    std::size_t storeBytes = 0;
    for (const auto& root : args.positional) {
        walkTree(
            root,
            [&](const std::string& path) {
                FinderInfo info{};
                if (readInfo(path, info) != static_cast<ssize_t>(Format::kSize)) ++visible;
            },
            [&](const std::string& path) { storeBytes += readFile(path).size(); });
    }
    streamFile(args.single("--print"), 1, "standard output");
    return visible + storeBytes > 0 ? 0 : 1;
}

// Read the store whole (a parser needs all of it), print the given bytes.
int dumpFloor(const Arguments& args) {
    if (args.positional.size() != 1) usage();
    const std::string store = readFile(args.positional[0]);
    streamFile(args.single("--print"), 1, "standard output");
    return store.empty() ? 1 : 0;
}

// Read standard input whole (every line is checked before a byte is written), then replace
// the target durably with the given image.
int writeFloor(const Arguments& args) {
    if (args.positional.size() != 1) usage();
    const std::string input = readWhole(0, "standard input");
    copyDurably(args.single("--image"), args.positional[0]);
    return input.empty() ? 1 : 0;
}

int showExtensions(const Arguments& args) {
    forEachFileOf(args, [](const std::string& path) {
        for (const auto store :
             {MetadataStore::xattr, MetadataStore::samba, MetadataStore::netatalk}) {
            if (::lremovexattr(path.c_str(), attributeOf(store)) != 0 && errno != ENODATA) {
                fail("remove the attribute of", path);
            }
        }
        if (::unlink(sidecarOf(path).c_str()) != 0 && errno != ENOENT) fail("remove", path);
    });
    return 0;
}

int hideExtensions(const Arguments& args) {
    forEachFileOf(args, hideIn);
    return 0;
}

// The launcher: a child's maximum resident set counts the pages of whoever forked it until it
// calls exec, so measured programs are started from this small process rather than from the
// script's interpreter (as GNU time does, but with a finer clock).
int timeProgram(int argc, char** argv) {
    if (argc < 4) usage();
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) fail("start", argv[3]);
    if (child == 0) {
        ::execvp(argv[3], argv + 3);
        std::fprintf(stderr, "command-floors: could not run \"%s\": %s\n", argv[3],
                     std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) < 0) fail("wait for", argv[3]);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    FILE* result = std::fopen(argv[2], "w");
    if (result == nullptr) fail("create", argv[2]);
    std::fprintf(result, "%.6f %ld %d\n", seconds.count(), usage.ru_maxrss, code);
    std::fclose(result);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) usage();
    const std::string_view command = argv[1];
    if (command == "time") return timeProgram(argc, argv);
    const Arguments args(argc, argv);
    for (const auto& store : args.values("--store")) {
        if (const auto named = lumifold::platform::metadataStoreNamed(store)) g_store = *named;
    }
    if (command == "noop") return 0;
    if (command == "apply") return applyFloor(args);
    if (command == "restore") return restoreFloor(args);
    if (command == "snapshots") return snapshotsFloor(args);
    if (command == "preview") return previewFloor(args);
    if (command == "tree-preview") return treePreviewFloor(args);
    if (command == "dump") return dumpFloor(args);
    if (command == "write") return writeFloor(args);
    if (command == "show-extensions") return showExtensions(args);
    if (command == "hide-extensions") return hideExtensions(args);
    usage();
}
