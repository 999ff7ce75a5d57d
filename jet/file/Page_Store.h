// A database file as numbered 4096-byte pages, over the file interface (File_Io.h). The
// one place where the page encoding of encoded databases (Crypto.h; database key != 0)
// is applied: pages are decoded as they are read and encoded as they are written. Page 0
// is never encoded (its header obfuscation is the header's business, see Page_File.h).
//
//   Page_Store pages(*file, key);                  // file: Read_File, kept open by the caller
//   std::vector<std::uint8_t> scratch(8 * format::Page_Size);
//   auto bytes = pages.Read(first, 8, scratch.data());    // 8 decoded pages
//
//   Page_Store out(*write_file, key);              // write_file: Write_File (or Output_File)
//   out.Write(number, page_bytes);                 // encodes page_bytes in place, then writes
//   out.Write_Two(n1, bytes1, n2, bytes2);         // the same for two pages, encoded at once
//
// Read hands out the file's own memory when it can (a mapped file, pages not encoded),
// else decodes into the caller's scratch buffer. Errors are the file's (File_Io.h).
#pragma once

#include <cstdint>
#include <span>

#include "jet/file/File_Io.h"

namespace kelbrook::jet {

class Page_Store {
public:
    Page_Store(const Read_File& file, std::uint32_t database_key) : file_(&file), key_(database_key) {}
    Page_Store(Write_File& file, std::uint32_t database_key)
        : file_(&file), writable_(&file), key_(database_key) {}

    const Read_File& File() const { return *file_; }
    std::uint32_t Key() const { return key_; }
    // Whole pages in the file now.
    std::uint32_t Page_Count() const;
    // True when Read returns the file's own memory, whatever the scratch.
    bool In_Place() const { return file_->In_Place() && key_ == 0; }

    // Pages `first` .. `first + count - 1`, decoded: in the file's own memory or in
    // `scratch`, which has room for `count` pages.
    std::span<const std::uint8_t> Read(std::uint32_t first, std::uint32_t count, std::uint8_t* scratch) const;
    // The first `head.size()` bytes of page `page`, decoded into `head`: an encoded page's
    // opening bytes decode without the rest of it.
    void Read_Head(std::uint32_t page, std::span<std::uint8_t> head) const;
    // Pages `first` onwards as the file stores them, not decoded, one into each of `pages`
    // (a page each; Read_File::Read_Scattered); Decode then decodes any of them when, and
    // if, it is wanted.
    void Read_Stored_Into(std::uint32_t first, std::span<const std::span<std::uint8_t>> pages) const;
    // Decodes, in place, the opening `bytes.size()` bytes (at most a page) of page
    // `number` as stored: a page's opening bytes decode without the rest of it.
    void Decode(std::uint32_t number, std::span<std::uint8_t> bytes) const;
    // Decodes two whole stored pages at once, quicker than one after the other.
    void Decode_Two(std::uint32_t number_a, std::span<std::uint8_t> a, std::uint32_t number_b,
                    std::span<std::uint8_t> b) const;

    // Writes `page` (one page of bytes, encoded here in place) as page `number`. Only for
    // a store made over a Write_File.
    void Write(std::uint32_t number, std::span<std::uint8_t> page);
    // Writes two pages, as Write each, encoding them at once (quicker than one by one).
    void Write_Two(std::uint32_t number_a, std::span<std::uint8_t> a, std::uint32_t number_b,
                   std::span<std::uint8_t> b);

private:
    void Check_Writable(std::uint32_t number, std::span<const std::uint8_t> page) const;
    const Read_File* file_;
    Write_File* writable_ = nullptr;
    std::uint32_t key_;
};

}  // namespace kelbrook::jet
