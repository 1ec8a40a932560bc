// The file layer with no Python: built natively and for Windows (run there
// under Wine). `test_files` runs every table; `test_files race DIR TAG MODE`
// is one of the two processes of the race.
#include "../../src/platform/files.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <vector>
#ifdef _WIN32
#include <windows.h>
#define N(text) L##text
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#define N(text) text
#endif

namespace fs = std::filesystem;
using namespace pdfm::platform;

namespace {

int failures = 0;
void check(bool ok, const std::string& what) {
    if (!ok) std::cout << "FAIL " << what << "\n", ++failures;
}
std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void write(const fs::path& p, const std::string& bytes) { std::ofstream(p, std::ios::binary) << bytes; }
std::vector<fs::path> entries(const fs::path& dir) {
    std::vector<fs::path> out(fs::directory_iterator(dir), {});
    std::sort(out.begin(), out.end());
    return out;
}
fs::path numbered(const fs::path& dir, const Path& base, long long i) {
    if (i == 0) return dir / base;
#ifdef _WIN32
    return dir / (base + L"_" + std::to_wstring(i) + L".pdf");
#else
    return dir / (base + "_" + std::to_string(i) + ".pdf");
#endif
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
    check(named.error == 0 && named.index == c.index, c.what + std::string(": index"));
    check(read(numbered(dir, c.base, c.index)) == std::string(300000, 'x'), c.what + std::string(": bytes"));
    check(entries(dir).size() == c.taken.size() + 1, c.what + std::string(": nothing else left"));
    check(!fs::exists(dir / N("nowhere")), c.what + std::string(": link followed"));
    for (const Path& name : c.taken)
        if (name[0] != N('=') && name[0] != N('@'))
            check(read(dir / name) == "theirs", c.what + std::string(": taken file changed"));
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
    check(missing_file.error != 0, "a copy from a missing file fails");
    check(entries(dir / N("sub")).empty(), "a failed copy leaves no file under the name");
}

void long_path_table() {
    struct Row { std::wstring in, out; } rows[] = {
        {L"C:\\" + std::wstring(244, L'a'), L"C:\\" + std::wstring(244, L'a')},  // 247: plain
        {L"C:\\" + std::wstring(245, L'a'), L"\\\\?\\C:\\" + std::wstring(245, L'a')},
        {L"\\\\srv\\share\\" + std::wstring(240, L'a'), L"\\\\?\\UNC\\srv\\share\\" + std::wstring(240, L'a')},
        {L"\\\\?\\C:\\" + std::wstring(300, L'a'), L"\\\\?\\C:\\" + std::wstring(300, L'a')},
        {L"\\\\.\\pipe\\" + std::wstring(300, L'a'), L"\\\\.\\pipe\\" + std::wstring(300, L'a')},
        {L"rel\\" + std::wstring(300, L'a'), L"rel\\" + std::wstring(300, L'a')},
    };
    for (const Row& row : rows) check(long_path(row.in) == row.out, "long_path of a " + std::to_string(row.in.size()) + "-character path");
}

// Two processes save `count` files each into one folder at once.
int race_child(const fs::path& dir, char tag, bool refuse_links) {
    testing::refuse_links = refuse_links;
    for (int i = 0; i < 20; ++i)
        if (save(dir, N("race.pdf"), std::string(200000, tag)).error) return 1;
    return 0;
}

void race(const fs::path& root, bool refuse_links) {
    fs::path dir = root / (refuse_links ? "race-copy" : "race-link");
    fs::create_directories(dir);
    int started = 0, succeeded = 0;
#ifdef _WIN32
    wchar_t self[MAX_PATH];
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    PROCESS_INFORMATION children[2];
    for (char tag : {'A', 'B'}) {
        std::wstring line = L"\"" + std::wstring(self) + L"\" race \"" + dir.wstring() + L"\" " +
                            wchar_t(tag) + (refuse_links ? L" refuse" : L" link");
        STARTUPINFOW info{};
        info.cb = sizeof info;
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &info, &children[started])) ++started;
    }
    for (int i = 0; i < started; ++i) {
        DWORD code = 1;
        ::WaitForSingleObject(children[i].hProcess, INFINITE);
        ::GetExitCodeProcess(children[i].hProcess, &code);
        succeeded += code == 0;
    }
#else
    pid_t children[2];
    for (const char* tag : {"A", "B"}) {
        std::string d = dir.string();
        const char* argv[] = {"test_files", "race", d.c_str(), tag, refuse_links ? "refuse" : "link", nullptr};
        if (::posix_spawn(&children[started], "/proc/self/exe", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) ++started;
    }
    for (int i = 0; i < started; ++i) {
        int status = 1;
        ::waitpid(children[i], &status, 0);
        succeeded += status == 0;
    }
#endif
    int a = 0, b = 0;
    for (long long i = 0; i < 40; ++i) {
        std::string bytes = read(numbered(dir, N("race.pdf"), i));
        a += bytes == std::string(200000, 'A');
        b += bytes == std::string(200000, 'B');
    }
    std::string how = refuse_links ? "race with copies" : "race with links";
    check(succeeded == 2, how + ": both processes finished");
    check(a == 20 && b == 20 && entries(dir).size() == 40, how + ": 40 whole files, none clobbered");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "race")
        return race_child(argv[2], argv[3][0], std::string(argv[4]) == "refuse");
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
    long_path_table();
#ifndef _WIN32
    fs::create_directory(root / "open");
    write(root / "open" / "file", "x");
    fs::create_symlink(root / "open" / "file", root / "open" / "link");
    File file;
    check(open_never_following((root / "open" / "link").native(), file) != 0, "a link is not opened");
#endif
    fs::remove_all(root);
    std::cout << (failures ? "file layer: FAILED\n" : "file layer: all passed\n");
    return failures ? 1 : 0;
}
