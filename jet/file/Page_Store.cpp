#include "jet/file/Page_Store.h"

#include <cstring>

#include "jet/file/Crypto.h"
#include "jet/file/Format.h"
#include "jet/util/Error.h"

namespace kelbrook::jet {

std::uint32_t Page_Store::Page_Count() const {
    const std::uint64_t pages = file_->Size() / format::Page_Size;
    return pages > format::Max_Page_Number + 1ULL ? format::Max_Page_Number + 1 : static_cast<std::uint32_t>(pages);
}

std::span<const std::uint8_t> Page_Store::Read(std::uint32_t first, std::uint32_t count, std::uint8_t* scratch) const {
    const std::size_t bytes = std::size_t{count} * format::Page_Size;
    const auto stored = Read_Exactly(*file_, std::uint64_t{first} * format::Page_Size, bytes, scratch);
    if (key_ == 0) return stored;
    if (stored.data() != scratch) std::memcpy(scratch, stored.data(), bytes);
    for (std::uint32_t k = 0; k < count; ++k)
        Apply_Page_Encoding(std::span(scratch + std::size_t{k} * format::Page_Size, format::Page_Size), key_, first + k);
    return {scratch, bytes};
}

void Page_Store::Read_Stored_Into(std::uint32_t first, std::span<const std::span<std::uint8_t>> pages) const {
    file_->Read_Scattered(std::uint64_t{first} * format::Page_Size, pages);
}

void Page_Store::Decode(std::uint32_t number, std::span<std::uint8_t> bytes) const {
    Apply_Page_Encoding(bytes, key_, number);
}

void Page_Store::Decode_Two(std::uint32_t number_a, std::span<std::uint8_t> a, std::uint32_t number_b,
                            std::span<std::uint8_t> b) const {
    Apply_Page_Encoding_Two(a, number_a, b, number_b, key_);
}

void Page_Store::Read_Head(std::uint32_t page, std::span<std::uint8_t> head) const {
    const auto stored = Read_Exactly(*file_, std::uint64_t{page} * format::Page_Size, head.size(), head.data());
    if (stored.data() != head.data()) std::memcpy(head.data(), stored.data(), head.size());
    Apply_Page_Encoding(head, key_, page);
}

void Page_Store::Write(std::uint32_t number, std::span<std::uint8_t> page) {
    Check_Writable(number, page);
    Apply_Page_Encoding(page, key_, number);
    writable_->Write(std::uint64_t{number} * format::Page_Size, page);
}

void Page_Store::Write_Two(std::uint32_t number_a, std::span<std::uint8_t> a, std::uint32_t number_b,
                           std::span<std::uint8_t> b) {
    Check_Writable(number_a, a);
    Check_Writable(number_b, b);
    Apply_Page_Encoding_Two(a, number_a, b, number_b, key_);
    writable_->Write(std::uint64_t{number_a} * format::Page_Size, a);
    writable_->Write(std::uint64_t{number_b} * format::Page_Size, b);
}

void Page_Store::Check_Writable(std::uint32_t number, std::span<const std::uint8_t> page) const {
    if (!writable_ || page.size() != format::Page_Size)
        throw Error("Internal error: page " + std::to_string(number) + " of '" + file_->Name() +
                    "' written through a store that cannot write it.");
}

}  // namespace kelbrook::jet
