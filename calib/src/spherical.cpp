#include "calib/spherical.h"

#include <strings.h>
#include <tinyxml.h>

#include <cstring>
#include <string>

#include "calib/containers.h"
#include "platform/text.h"

int IsSphericalXml(const unsigned char* xml, size_t length) {
    // The text ends for the parser at the first zero byte. The parser steps over
    // a multi-byte character by its lead byte, so a cut sequence would make it
    // read past the end of the text: malformed text is refused before it.
    const void* zero = std::memchr(xml, 0, length);
    const size_t textLength =
        zero != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - xml)
                        : length;
    if (!platform::IsWellFormedUtf8(xml, textLength)) return 0;
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
