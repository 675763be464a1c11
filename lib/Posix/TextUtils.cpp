#include "Foundation/TextUtils.h"
#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <random>
#include "Posix/FileNames.h"

void FillRandom(void* buffer, size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        while (done < size) {
            ssize_t n = ::read(fd, bytes + done, size - done);
            if (n <= 0) break;
            done += (size_t)n;
        }
        ::close(fd);
    }
    if (done < size) {
        std::random_device device;
        for (; done < size; ++done) bytes[done] = (unsigned char)device();
    }
}

// A random (version 4) GUID, as the system makes them.
bool NativeCreateGuid(TGuid& guid) {
    FillRandom(&guid, sizeof guid);
    guid.Data3 = (uint16_t)((guid.Data3 & 0x0FFF) | 0x4000);
    guid.Data4[0] = (uint8_t)((guid.Data4[0] & 0x3F) | 0x80);
    return true;
}

// The Windows rules: %NAME% of a defined variable is replaced, anything
// else (an unknown name, a lone %) stays as written.
WideString ExpandEnvironment(const WideString& text) {
    WideString result;
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find(u'%', i);
        if (open == WideString::npos) break;
        size_t close = text.find(u'%', open + 1);
        if (close == WideString::npos) break;
        result.append(text, i, open - i);
        WideString name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(WideToSystemName(name).c_str());
        if (value) result += SystemNameToWide(value);
        else result.append(text, open, close - open + 1);
        i = close + 1;
    }
    result.append(text, i, WideString::npos);
    return result;
}
