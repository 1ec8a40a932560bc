// The file layer with no Python: built natively and for Windows (run there
// under Wine).
#include "../../src/platform/files.hpp"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>
#ifdef _WIN32
#define N(text) L##text
#else
#define N(text) text
#endif

namespace fs = std::filesystem;
using namespace pdfm::platform;

namespace {

int failures = 0;
void check(bool ok, const std::string& what) { if (!ok) std::cout << "FAIL " << what << "\n", ++failures; }
std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
std::vector<fs::path> entries(const fs::path& dir) { return {fs::directory_iterator(dir), {}}; }
fs::path numbered(const fs::path& dir, const Path& base, long long i) {
    return i == 0 ? dir / base : (dir / base) += "_" + std::to_string(i) + ".pdf";
}

// What the module does: save into a private folder beside the name, then
// name the file there (in `names_in`, when given, instead).
Naming save(const fs::path& dir, const Path& base, const std::string& bytes, fs::path names_in = {}) {
    PrivateFolder folder;
    if (Error error = folder.make((dir / base).native())) return {-1, error};
    write(folder.file(), bytes);
    if (names_in.empty()) names_in = dir;
    return give_name(folder.file(), [&](long long i) { return numbered(names_in, base, i).native(); });
}

struct Case {
    const char* what;
    Path folder, base;
    std::vector<Path> taken;  // "=x": a folder; "@x": a dangling link
    bool refuse_links;
    long long index;
};

void naming_case(const fs::path& root, const Case& c) {
    fs::path dir = root / c.folder;
    fs::create_directories(dir);
    for (const Path& name : c.taken) {
        if (name[0] == N('=')) fs::create_directory(dir / name.substr(1));
        else if (name[0] == N('@')) fs::create_symlink(dir / N("nowhere"), dir / name.substr(1));
        else write(dir / name, "theirs");
    }
    testing::refuse_links = c.refuse_links;
    Naming named = save(dir, c.base, std::string(300000, 'x'));
    testing::refuse_links = false;
    bool theirs_kept = true;
    for (const Path& name : c.taken)
        if (name[0] != N('=') && name[0] != N('@')) theirs_kept &= read(dir / name) == "theirs";
    check(named.error == 0 && named.index == c.index && theirs_kept && !fs::exists(dir / N("nowhere")) &&
              read(numbered(dir, c.base, c.index)) == std::string(300000, 'x') &&
              entries(dir).size() == c.taken.size() + 1,
          c.what + std::string(": the whole file under the first free name, nothing else touched"));
}

void failure_case(const fs::path& root, bool refuse_links) {
    fs::path dir = root / (refuse_links ? "fail-copy" : "fail-link");
    fs::create_directories(dir);
    testing::refuse_links = refuse_links;
    Naming missing_folder = save(dir, N("out.pdf"), "x", dir / N("missing"));
    check(missing_folder.error != 0 && entries(dir).empty(), "a failed naming leaves nothing");
    fs::create_directory(dir / N("sub"));
    Naming missing_file = give_name((dir / N("gone.pdf")).native(), [&](long long) {
        return (dir / N("sub") / N("out.pdf")).native();
    });
    testing::refuse_links = false;
    check(missing_file.error != 0 && entries(dir / N("sub")).empty(), "a failed copy fails and leaves nothing");
}

// Two threads save 20 files each into one folder at once: each name is
// taken by the system's exclusive calls, whoever else is saving there.
void race(const fs::path& root, bool refuse_links) {
    fs::path dir = root / (refuse_links ? "race-copy" : "race-link");
    fs::create_directories(dir);
    testing::refuse_links = refuse_links;
    std::atomic<int> failed = 0;
    auto saves = [&](char tag) {
        for (int i = 0; i < 20; ++i) failed += save(dir, N("race.pdf"), std::string(200000, tag)).error != 0;
    };
    std::thread one(saves, 'A'), other(saves, 'B');
    one.join(), other.join();
    testing::refuse_links = false;
    int a = 0, b = 0;
    for (long long i = 0; i < 40; ++i) {
        std::string bytes = read(numbered(dir, N("race.pdf"), i));
        a += bytes == std::string(200000, 'A');
        b += bytes == std::string(200000, 'B');
    }
    check(failed == 0 && a == 20 && b == 20 && entries(dir).size() == 40,
          std::string(refuse_links ? "race with copies" : "race with links") + ": 40 whole files, none clobbered");
}

}  // namespace

int main() {
    fs::path root = fs::temp_directory_path() / ("pdfm-files-" + std::to_string(std::random_device()()));
    const Case cases[] = {
        {"free name", N("free"), N("out.pdf"), {}, false, 0},
        {"numbered", N("numbered"), N("out.pdf"), {N("out.pdf"), N("out.pdf_1.pdf")}, false, 2},
        {"numbered, copies", N("numbered-copy"), N("out.pdf"), {N("out.pdf"), N("out.pdf_1.pdf")}, true, 2},
        {"a folder", N("folder"), N("out.pdf"), {N("=out.pdf")}, false, 1},
        {"Japanese and spaces", N("日本 語"), N("印鑑 付き.pdf"), {N("印鑑 付き.pdf")}, false, 1},
        {"Japanese, copies", N("日本 語 2"), N("印鑑 付き.pdf"), {N("印鑑 付き.pdf")}, true, 1},
#ifndef _WIN32  // Wine makes no symbolic links or junctions: refused reparse points are unverified there
        {"dangling link", N("link"), N("out.pdf"), {N("@out.pdf")}, false, 1},
        {"dangling link, copies", N("link-copy"), N("out.pdf"), {N("@out.pdf")}, true, 1},
#endif
    };
    for (const Case& c : cases) naming_case(root, c);
    for (bool refuse_links : {false, true}) failure_case(root, refuse_links), race(root, refuse_links);
    std::wstring a244(244, L'a'), a300(300, L'a');
    struct Row { std::wstring in, out; } rows[] = {
        {L"C:\\" + a244, L"C:\\" + a244},  // 247: plain
        {L"C:\\a" + a244, L"\\\\?\\C:\\a" + a244},
        {L"\\\\srv\\share\\" + a244, L"\\\\?\\UNC\\srv\\share\\" + a244},
        {L"\\\\?\\C:\\" + a300, L"\\\\?\\C:\\" + a300},
        {L"\\\\.\\pipe\\" + a300, L"\\\\.\\pipe\\" + a300},
        {L"rel\\" + a300, L"rel\\" + a300},
    };
    for (const Row& row : rows) check(long_path(row.in) == row.out, "long_path of a " + std::to_string(row.in.size()) + "-character path");
#ifndef _WIN32
    write(root / "target", "x");
    fs::create_symlink(root / "target", root / "alias");
    File file;
    check(open_never_following((root / "alias").native(), file) != 0, "a link is not opened");
#endif
    fs::remove_all(root);
    std::cout << (failures ? "file layer: FAILED\n" : "file layer: all passed\n");
    return failures ? 1 : 0;
}
