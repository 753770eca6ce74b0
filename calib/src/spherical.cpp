#include "calib/spherical.h"

#include <strings.h>
#include <tinyxml.h>

#include <cstring>
#include <string>

#include "calib/containers.h"

namespace {

// Well-formed UTF-8 up to the first zero byte (where the text ends for the
// parser). The parser steps over a multi-byte character by its lead byte, so a
// cut sequence would make it read past the end of the text.
bool IsWellFormedUtf8(const unsigned char* s, size_t n) {
    size_t i = 0;
    while (i < n && s[i] != 0) {
        const unsigned char b = s[i];
        size_t len = 1;
        if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
        } else if (b >= 0xE0) {
            len = b <= 0xEF ? 3 : 0;
        } else if (b >= 0xC2) {
            len = 2;
        } else if (b >= 0x80) {
            len = 0;
        }
        if (len == 0 || n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

int IsSphericalXml(const unsigned char* xml, size_t length) {
    if (!IsWellFormedUtf8(xml, length)) return 0;
    // The parser wants a terminated text; the stored payload has none. A few
    // more zero bytes keep any look-ahead inside the buffer.
    std::string text(reinterpret_cast<const char*>(xml), length);
    text.append(8, '\0');
    TiXmlDocument doc;
    doc.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    if (doc.Error()) return 0;  // a partial tree of a broken document does not count
    const TiXmlElement* root = doc.RootElement();
    if (root == nullptr) return 0;
    const TiXmlElement* flag = root->FirstChildElement("GSpherical:Spherical");
    if (flag == nullptr) return 0;
    const char* value = flag->GetText();
    if (value == nullptr) return 0;
    return strcasecmp(value, "true") == 0 ? 1 : 0;
}

int IsSphericalVideoFrom(platform::ByteSource& src) {
    ByteBuffer payload;
    if (WalkMp4Boxes(src, kWalkSpherical, &payload) != kContainerFound) return 0;
    return IsSphericalXml(payload.data(), payload.size());
}

int IsSphericalVideo(const char* path) {
    platform::FileReader file;
    if (file.Open(path) != 0) return 0;
    return IsSphericalVideoFrom(file);
}
