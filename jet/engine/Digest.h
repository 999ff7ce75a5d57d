// A stable, order-independent digest of a table's rows, for comparing a table before and
// after compaction. Each row's decoded values (by column name, with their kind) are hashed
// with 64-bit FNV-1a and mixed; the table digest adds and XORs the row hashes, so row
// order and page layout do not matter while any change of a value, a row count or a
// duplicated/dropped row does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jet/engine/Database.h"

namespace kelbrook::jet {

struct Table_Digest {
    std::uint64_t rows = 0;
    std::uint64_t sum = 0;
    std::uint64_t mix = 0;
    std::string Text() const;  // 48 hex digits: rows, sum, mix
    friend bool operator==(const Table_Digest&, const Table_Digest&) = default;
};

std::uint64_t Row_Hash(const Table_Definition& table, const std::vector<Value>& values);
Table_Digest Digest_Table(const Database& database, const Table_Definition& table);

}  // namespace kelbrook::jet
