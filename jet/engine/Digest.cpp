#include "jet/engine/Digest.h"

#include <bit>
#include <cstdio>
#include <cstring>

namespace kelbrook::jet {
namespace {

struct Fnv {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    void Bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        for (std::size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 0x100000001b3ULL;
        }
    }
    void U64(std::uint64_t v) {
        std::uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        Bytes(b, 8);
    }
    void Blob(const void* data, std::size_t n) {
        U64(n);
        Bytes(data, n);
    }
};

std::uint64_t Finish(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

}  // namespace

std::string Table_Digest::Text() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%016llx%016llx%016llx", static_cast<unsigned long long>(rows),
                  static_cast<unsigned long long>(sum), static_cast<unsigned long long>(mix));
    return buf;
}

std::uint64_t Row_Hash(const Table_Definition& table, const std::vector<Value>& values) {
    Fnv f;
    for (std::size_t i = 0; i < values.size() && i < table.columns.size(); ++i) {
        const Value& v = values[i];
        f.Blob(table.columns[i].name.data(), table.columns[i].name.size());
        f.U64(static_cast<std::uint64_t>(v.kind));
        f.U64(static_cast<std::uint64_t>(v.integer));
        std::uint64_t bits;
        std::memcpy(&bits, &v.real, sizeof bits);
        f.U64(bits);
        f.Blob(v.text.data(), v.text.size());
        f.Blob(v.bytes.data(), v.bytes.size());
    }
    return Finish(f.h);
}

Table_Digest Digest_Table(const Database& database, const Table_Definition& table) {
    Table_Digest d;
    database.Rows(table, [&](const Live_Row& row) {
        std::uint64_t h = Row_Hash(table, database.Decode(table, row));
        ++d.rows;
        d.sum += h;
        d.mix ^= Finish(h ^ 0x9e3779b97f4a7c15ULL);
    });
    return d;
}

}  // namespace kelbrook::jet
