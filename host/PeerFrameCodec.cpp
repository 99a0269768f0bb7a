#include "host/PeerFrameCodec.h"

#include <cstring>

namespace Orvana {
namespace Host {
namespace PeerFrameCodec {

namespace {

const char MAGIC[4] = {'B', 'K', 'F', '1'};

std::uint32_t readU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) |
           std::uint32_t(b[3]);
}

void appendU32(std::string& out, std::size_t value) {
    out.push_back(static_cast<char>((value >> 24) & 0xff));
    out.push_back(static_cast<char>((value >> 16) & 0xff));
    out.push_back(static_cast<char>((value >> 8) & 0xff));
    out.push_back(static_cast<char>(value & 0xff));
}

bool validName(const char* p, std::size_t size) {
    if (size == 0 || size > MAX_NAME) return false;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = p[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    }
    return true;
}

}  // namespace

const char* describe(Error error) {
    switch (error) {
        case Error::None: return "no error";
        case Error::BadMagic: return "not a frame";
        case Error::TooManyFields: return "too many fields";
        case Error::FieldsTooLarge: return "fields too large";
        case Error::BodyTooLarge: return "body too large";
        case Error::BadFieldName: return "bad field name";
        case Error::FieldsOutOfOrder: return "fields out of order";
        case Error::Truncated: return "truncated frame";
        case Error::TrailingBytes: return "bytes after the frame";
    }
    return "unknown error";
}

Error parseHead(const char* data, FrameHead& head) {
    if (std::memcmp(data, MAGIC, sizeof MAGIC) != 0) return Error::BadMagic;
    head.fieldCount = readU32(data + 4);
    head.fieldSectionSize = readU32(data + 8);
    head.bodySize = readU32(data + 12);
    if (head.fieldCount > MAX_FIELDS) return Error::TooManyFields;
    if (head.fieldSectionSize > MAX_FIELD_SECTION) return Error::FieldsTooLarge;
    if (head.bodySize > MAX_BODY) return Error::BodyTooLarge;
    // Every field needs at least its prefixes and a one-byte name.
    if (std::size_t(head.fieldCount) * 6 > head.fieldSectionSize) return Error::Truncated;
    return Error::None;
}

Error parseFields(const FrameHead& head, const char* data, std::size_t size,
                  std::map<std::string, std::string>& fields) {
    fields.clear();
    if (size != head.fieldSectionSize) return Error::Truncated;
    std::size_t at = 0;
    std::size_t payload = 0;
    const std::string* previous = nullptr;
    for (std::uint32_t i = 0; i < head.fieldCount; ++i) {
        if (size - at < 1) return Error::Truncated;
        const std::size_t nameSize = static_cast<unsigned char>(data[at]);
        at += 1;
        if (size - at < nameSize) return Error::Truncated;
        if (!validName(data + at, nameSize)) return Error::BadFieldName;
        std::string name(data + at, nameSize);
        at += nameSize;
        if (size - at < 4) return Error::Truncated;
        const std::size_t valueSize = readU32(data + at);
        at += 4;
        if (size - at < valueSize) return Error::Truncated;
        payload += nameSize + valueSize;
        if (payload > MAX_FIELD_BYTES) return Error::FieldsTooLarge;
        if (previous && !(*previous < name)) return Error::FieldsOutOfOrder;
        auto inserted = fields.emplace_hint(fields.end(), std::move(name),
                                            std::string(data + at, valueSize));
        previous = &inserted->first;
        at += valueSize;
    }
    return at == size ? Error::None : Error::TrailingBytes;
}

Error parseFrame(const std::string& bytes, Orvana::API::PeerFrame& frame) {
    if (bytes.size() < HEAD_SIZE) return Error::Truncated;
    FrameHead head;
    Error error = parseHead(bytes.data(), head);
    if (error != Error::None) return error;
    const std::size_t rest = bytes.size() - HEAD_SIZE;
    if (rest < std::size_t(head.fieldSectionSize)) return Error::Truncated;
    error = parseFields(head, bytes.data() + HEAD_SIZE, head.fieldSectionSize, frame.fields);
    if (error != Error::None) return error;
    const std::size_t bodyAt = HEAD_SIZE + head.fieldSectionSize;
    if (bytes.size() - bodyAt < head.bodySize) return Error::Truncated;
    if (bytes.size() - bodyAt > head.bodySize) return Error::TrailingBytes;
    frame.body.assign(bytes, bodyAt, head.bodySize);
    return Error::None;
}

Error check(const Orvana::API::PeerFrame& frame) {
    if (frame.fields.size() > MAX_FIELDS) return Error::TooManyFields;
    if (frame.body.size() > MAX_BODY) return Error::BodyTooLarge;
    std::size_t payload = 0;
    for (const auto& field : frame.fields) {
        if (!validName(field.first.data(), field.first.size())) return Error::BadFieldName;
        payload += field.first.size() + field.second.size();
        if (payload > MAX_FIELD_BYTES) return Error::FieldsTooLarge;
    }
    return Error::None;
}

std::string encodeHead(const Orvana::API::PeerFrame& frame) {
    std::string section;
    for (const auto& field : frame.fields) {
        section.push_back(static_cast<char>(field.first.size()));
        section += field.first;
        appendU32(section, field.second.size());
        section += field.second;
    }
    std::string out(MAGIC, sizeof MAGIC);
    appendU32(out, frame.fields.size());
    appendU32(out, section.size());
    appendU32(out, frame.body.size());
    return out + section;
}

std::string encode(const Orvana::API::PeerFrame& frame) { return encodeHead(frame) + frame.body; }

}  // namespace PeerFrameCodec
}  // namespace Host
}  // namespace Orvana
