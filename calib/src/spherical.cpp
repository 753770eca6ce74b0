#include "calib/spherical.h"

#include <strings.h>
#include <tinyxml.h>

#include <cstring>
#include <string>

#include "calib/containers.h"

int IsSphericalXml(const unsigned char* xml, size_t length) {
    // TinyXML wants a terminated text; the stored payload has none.
    std::string text(reinterpret_cast<const char*>(xml), length);
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
