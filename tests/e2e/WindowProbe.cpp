// Looks at another program's windows for the window tests: reads one
// command a line from standard input and answers with one line of JSON.
//   find <caption> <class>  the visible top-level window with that caption and class
//   dump <hwnd>           the window, its client area and every control in it
//   owned <hwnd>          visible windows the window owns (dialogs, message boxes)
//   focus <hwnd>          the control that has the keyboard focus in that window's thread
//   ping <hwnd>           whether the window answers messages within two seconds
//   close <hwnd>          posts WM_CLOSE
//   fit <label> <face> <height> <weight>
//                         the size the label's text needs at the label's width in
//                         the label's font (the font described, where the label's
//                         own cannot be read from here), and that font's face
//   watch <form> <label> <text> <seconds> [<ms>]
//                         asks the form every few milliseconds whether it answers
//                         within ms (one second unless given) and notes every text
//                         the label shows, until it shows text or the time is up
//   version <file>        the program's version resource
//   icons <file>          the sizes of the program's first icon (what Explorer shows)
//   dpi <hwnd> <dpi>      sends WM_DPICHANGED as the system does when the window
//                         moves to a screen of that density
//   drop <hwnd> <path>... drops the paths onto the window, as the shell does
// Arguments are separated by tabs.
#include <windows.h>
#include <shlobj.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), size);
    return out;
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string Number(long long value) { return std::to_string(value); }
std::string Bool(bool value) { return value ? "true" : "false"; }

// Appends the parts (GCC warns falsely about chains of + on strings).
template <class... Parts>
std::string Cat(const Parts&... parts) {
    std::string out;
    (out.append(parts), ...);
    return out;
}

std::wstring WindowText(HWND window) {
    // WM_GETTEXT reaches controls of other processes, GetWindowText does not.
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 4096, (LPARAM)text, SMTO_ABORTIFHUNG, 2000, &length);
    return std::wstring(text, length);
}

std::wstring ClassName(HWND window) {
    wchar_t name[256] = {};
    int length = ::GetClassNameW(window, name, 256);
    return std::wstring(name, length);
}

std::string RectJson(const RECT& r) {
    return Cat("[", Number(r.left), ",", Number(r.top), ",", Number(r.right - r.left), ",", Number(r.bottom - r.top),
               "]");
}

// A window's facts; rect is relative to the client area of origin, or on
// the screen when origin is null.
std::string Describe(HWND window, HWND origin) {
    RECT r;
    ::GetWindowRect(window, &r);
    if (origin) ::MapWindowPoints(HWND_DESKTOP, origin, reinterpret_cast<POINT*>(&r), 2);
    return Cat(
        "{\"hwnd\":", Number((long long)(INT_PTR)window),
        ",\"parent\":", Number((long long)(INT_PTR)::GetParent(window)), ",\"id\":", Number(::GetDlgCtrlID(window)),
        ",\"class\":", Quote(Utf8(ClassName(window))), ",\"text\":", Quote(Utf8(WindowText(window))),
        ",\"visible\":", Bool(::IsWindowVisible(window)), ",\"enabled\":", Bool(::IsWindowEnabled(window)),
        ",\"style\":", Number((unsigned)::GetWindowLongW(window, GWL_STYLE)),
        ",\"exstyle\":", Number((unsigned)::GetWindowLongW(window, GWL_EXSTYLE)), ",\"rect\":", RectJson(r), "}");
}

std::vector<HWND> Descendants(HWND window) {
    std::vector<HWND> found;
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM list) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        (LPARAM)&found);
    return found;
}

std::string DescribeWithControls(HWND window) {
    RECT client;
    ::GetClientRect(window, &client);
    POINT origin{0, 0};
    ::ClientToScreen(window, &origin);
    std::string out = Cat("{\"window\":", Describe(window, nullptr), ",\"client\":[", Number(origin.x), ",",
                          Number(origin.y), ",", Number(client.right), ",", Number(client.bottom), "],\"controls\":[");
    bool first = true;
    for (HWND child : Descendants(window)) {
        if (!first) out += ',';
        out += Describe(child, window);
        first = false;
    }
    return out + "]}";
}

HWND FindTopLevel(const std::wstring& caption, const std::wstring& className) {
    struct TSearch {
        std::wstring Caption;
        std::wstring ClassName;
        HWND Found = nullptr;
    } search{caption, className};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<TSearch*>(data);
            if (::IsWindowVisible(window) && ClassName(window) == s->ClassName && WindowText(window) == s->Caption) {
                s->Found = window;
                return FALSE;
            }
            return TRUE;
        },
        (LPARAM)&search);
    return search.Found;
}

std::string Owned(HWND owner) {
    struct TSearch {
        HWND Owner;
        std::vector<HWND> Found;
    } search{owner, {}};
    ::EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<TSearch*>(data);
            if (::IsWindowVisible(window) && ::GetWindow(window, GW_OWNER) == s->Owner) s->Found.push_back(window);
            return TRUE;
        },
        (LPARAM)&search);
    std::string out = "{\"owned\":[";
    for (size_t i = 0; i < search.Found.size(); ++i) {
        if (i) out += ',';
        out += DescribeWithControls(search.Found[i]);
    }
    return out + "]}";
}

std::string Focus(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    DWORD thread = ::GetWindowThreadProcessId(window, nullptr);
    if (!::GetGUIThreadInfo(thread, &info)) return "{\"focus\":0,\"active\":0}";
    return Cat("{\"focus\":", Number((long long)(INT_PTR)info.hwndFocus),
               ",\"active\":", Number((long long)(INT_PTR)info.hwndActive), "}");
}

// Measured as the label draws: its width, word breaks, no prefix.
std::string Fit(HWND label, const std::vector<std::string>& words) {
    HFONT own = (HFONT)::SendMessageW(label, WM_GETFONT, 0, 0);
    LOGFONTW design{};
    design.lfHeight = -std::stoi(words[3]);
    design.lfWeight = std::stoi(words[4]);
    design.lfCharSet = DEFAULT_CHARSET;
    std::wstring face = Wide(words[2]);
    face.copy(design.lfFaceName, LF_FACESIZE - 1);
    LOGFONTW shape{};
    bool ownFont = own && ::GetObjectW(own, sizeof shape, &shape) == sizeof shape;
    HFONT font = ::CreateFontIndirectW(ownFont ? &shape : &design);
    HDC dc = ::GetDC(nullptr);
    HGDIOBJ old = ::SelectObject(dc, font);
    wchar_t faceName[LF_FACESIZE] = {};
    ::GetTextFaceW(dc, LF_FACESIZE, faceName);
    RECT box;
    ::GetClientRect(label, &box);
    RECT need{0, 0, box.right, 0};
    std::wstring text = WindowText(label);
    ::DrawTextW(dc, text.c_str(), (int)text.size(), &need, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    ::SelectObject(dc, old);
    ::ReleaseDC(nullptr, dc);
    ::DeleteObject(font);
    return Cat("{\"face\":", Quote(Utf8(faceName)), ",\"own_font\":", Bool(ownFont), ",\"need\":[", Number(need.right),
               ",", Number(need.bottom), "],\"box\":[", Number(box.right), ",", Number(box.bottom), "]}");
}

std::string Watch(HWND form, HWND label, const std::wstring& last, double seconds, UINT answerMs) {
    std::vector<std::wstring> texts;
    int asked = 0, unanswered = 0;
    DWORD slowest = 0;
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < seconds * 1000) {
        DWORD_PTR result = 0;
        DWORD before = ::GetTickCount();
        ++asked;
        if (!::SendMessageTimeoutW(form, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, answerMs, &result)) ++unanswered;
        slowest = std::max<DWORD>(slowest, ::GetTickCount() - before);
        std::wstring text = WindowText(label);
        if (texts.empty() || texts.back() != text) texts.push_back(text);
        if (text == last) break;
        ::Sleep(20);
    }
    std::string list;
    for (const std::wstring& text : texts) {
        if (!list.empty()) list += ',';
        list.append(Quote(Utf8(text)));
    }
    return Cat("{\"texts\":[", list, "],\"asked\":", Number(asked), ",\"unanswered\":", Number(unanswered),
               ",\"slowest_ms\":", Number(slowest), "}");
}

std::string Version(const std::wstring& file) {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
    std::vector<char> data(size);
    if (!size || !::GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return "{\"error\":\"no version\"}";
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    std::string out = "{";
    if (::VerQueryValueW(data.data(), L"\\", (void**)&fixed, &length) && fixed)
        out += Cat("\"fixed\":\"", Number(HIWORD(fixed->dwFileVersionMS)), ".", Number(LOWORD(fixed->dwFileVersionMS)),
                   ".", Number(HIWORD(fixed->dwFileVersionLS)), ".", Number(LOWORD(fixed->dwFileVersionLS)), "\"");
    for (const wchar_t* name : {L"ProductName", L"FileDescription", L"FileVersion", L"LegalCopyright"}) {
        wchar_t* value = nullptr;
        std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!::VerQueryValueW(data.data(), key.c_str(), (void**)&value, &length) || !value) continue;
        out += Cat(",", Quote(Utf8(name)), ":", Quote(Utf8(value)));
    }
    return out + "}";
}

// The group icon as stored: a header, then one entry of 14 bytes per size.
std::string Icons(const std::wstring& file) {
    HMODULE module = ::LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) return "{\"error\":\"cannot load\"}";
    LPWSTR first = nullptr;
    ::EnumResourceNamesW(
        module, (LPCWSTR)RT_GROUP_ICON,
        [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR found) -> BOOL {
            *reinterpret_cast<LPWSTR*>(found) = name;
            return FALSE;
        },
        (LONG_PTR)&first);
    std::string sizes;
    HRSRC group = first ? ::FindResourceW(module, first, (LPCWSTR)RT_GROUP_ICON) : nullptr;
    auto* bytes = group ? (const BYTE*)::LockResource(::LoadResource(module, group)) : nullptr;
    if (bytes) {
        int count = bytes[4] | bytes[5] << 8;
        for (int i = 0; i < count; ++i) {
            int width = bytes[6 + 14 * i];
            if (!sizes.empty()) sizes += ',';
            sizes += Number(width ? width : 256);
        }
    }
    ::FreeLibrary(module);
    return Cat("{\"sizes\":[", sizes, "]}");
}

// Bytes placed in the window's process at an address that holds the same
// bytes here, so that a pointer in a message means them whether or not
// the system copies what it points to from one process to the other.
void* PlaceInProcess(HWND window, const void* data, size_t size) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    HANDLE process = ::OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
    if (!process) return nullptr;
    void* remote = nullptr;
    for (int attempt = 0; attempt < 16 && !remote; ++attempt) {
        void* there = ::VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!there) break;
        if (::VirtualAlloc(there, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) remote = there;
        // An address taken here is left taken, so the next try gets another.
    }
    if (remote) {
        std::memcpy(remote, data, size);
        ::WriteProcessMemory(process, remote, data, size, nullptr);
    }
    ::CloseHandle(process);
    return remote;
}

std::string ChangeDensity(HWND window, int dpi) {
    RECT suggested;
    ::GetWindowRect(window, &suggested);
    void* rect = PlaceInProcess(window, &suggested, sizeof suggested);
    if (!rect) return "{\"error\":\"cannot reach the window's process\"}";
    DWORD_PTR result = 0;
    bool answered = ::SendMessageTimeoutW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), (LPARAM)rect, SMTO_ABORTIFHUNG,
                                          5000, &result) != 0;
    return Cat("{\"answered\":", Bool(answered), "}");
}

// DROPFILES and the paths after it, each ended by a null, the list by
// another; the window gives the block back with DragFinish.
std::string Drop(HWND window, const std::vector<std::string>& paths) {
    std::vector<char> block(sizeof(DROPFILES));
    for (const std::string& path : paths) {
        std::wstring wide = Wide(path);
        const char* bytes = reinterpret_cast<const char*>(wide.c_str());
        block.insert(block.end(), bytes, bytes + (wide.size() + 1) * sizeof(wchar_t));
    }
    block.resize(block.size() + sizeof(wchar_t), 0);
    auto* header = reinterpret_cast<DROPFILES*>(block.data());
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    void* drop = PlaceInProcess(window, block.data(), block.size());
    if (!drop) return "{\"error\":\"cannot reach the window's process\"}";
    return Cat("{\"posted\":", Bool(::PostMessageW(window, WM_DROPFILES, (WPARAM)drop, 0) != 0), "}");
}

// The text on the clipboard, as another program pastes it.
std::wstring ClipboardText() {
    std::wstring text;
    if (!::OpenClipboard(nullptr)) return text;
    if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) text = chars;
        ::GlobalUnlock(data);
    }
    ::CloseClipboard();
    return text;
}

std::string Run(const std::vector<std::string>& words) {
    const std::string& command = words[0];
    if (command == "fit" && words.size() == 5) {
        HWND label = (HWND)(INT_PTR)std::stoll(words[1]);
        return ::IsWindow(label) ? Fit(label, words) : "{\"error\":\"no such window\"}";
    }
    if (command == "watch" && (words.size() == 5 || words.size() == 6))
        return Watch((HWND)(INT_PTR)std::stoll(words[1]), (HWND)(INT_PTR)std::stoll(words[2]), Wide(words[3]),
                     std::stod(words[4]), words.size() == 6 ? (UINT)std::stoul(words[5]) : 1000);
    if (command == "version" && words.size() == 2) return Version(Wide(words[1]));
    if (command == "icons" && words.size() == 2) return Icons(Wide(words[1]));
    if (command == "drop" && words.size() >= 3) {
        HWND window = (HWND)(INT_PTR)std::stoll(words[1]);
        if (!::IsWindow(window)) return "{\"error\":\"no such window\"}";
        return Drop(window, std::vector<std::string>(words.begin() + 2, words.end()));
    }
    if (command == "dpi" && words.size() == 3) {
        HWND window = (HWND)(INT_PTR)std::stoll(words[1]);
        if (!::IsWindow(window)) return "{\"error\":\"no such window\"}";
        return ChangeDensity(window, std::stoi(words[2]));
    }
    if (command == "clipboard") return Cat("{\"text\":", Quote(Utf8(ClipboardText())), "}");
    if (command == "find" && words.size() == 3)
        return Cat("{\"hwnd\":", Number((long long)(INT_PTR)FindTopLevel(Wide(words[1]), Wide(words[2]))), "}");
    if (words.size() != 2) return "{\"error\":\"bad command\"}";
    HWND window = (HWND)(INT_PTR)std::stoll(words[1]);
    if (!::IsWindow(window)) return "{\"error\":\"no such window\"}";
    if (command == "dump") return DescribeWithControls(window);
    if (command == "owned") return Owned(window);
    if (command == "focus") return Focus(window);
    if (command == "ping") {
        DWORD_PTR result = 0;
        bool answered = ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
        return Cat("{\"answered\":", Bool(answered), "}");
    }
    if (command == "close") {
        bool posted = ::PostMessageW(window, WM_CLOSE, 0, 0) != 0;
        return Cat("{\"posted\":", Bool(posted), "}");
    }
    return "{\"error\":\"unknown command\"}";
}

}  // namespace

int main() {
    char line[8192];
    while (std::fgets(line, sizeof line, stdin)) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        if (text == "quit") break;
        std::vector<std::string> words;
        size_t start = 0;
        for (;;) {
            size_t tab = text.find('\t', start);
            words.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
            if (tab == std::string::npos) break;
            start = tab + 1;
        }
        std::string answer;
        try {
            answer = Run(words);
        } catch (const std::exception& e) {
            answer = Cat("{\"error\":", Quote(e.what()), "}");
        }
        std::fputs(answer.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
