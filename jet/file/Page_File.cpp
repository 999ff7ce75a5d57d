#include "jet/file/Page_File.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "jet/util/Bytes.h"
#include "jet/file/Crypto.h"
#include "jet/file/Page_Store.h"

namespace kelbrook::jet {
namespace {

std::string Version_Name(std::uint8_t version) {
    switch (version) {
        case format::Version_Jet3: return "Jet 3 (Access 97)";
        case format::Version_Jet4: return "Jet 4.0 (Access 2000-2003)";
        case format::Version_Ace12: return "ACE 12 (Access 2007 .accdb)";
        case format::Version_Ace14: return "ACE 14 (Access 2010 .accdb)";
        case format::Version_Ace16: return "ACE 16 (Access 2016 .accdb)";
        case format::Version_Ace17: return "ACE 17 (Access 2019 .accdb)";
        default: return "an unknown format version " + std::to_string(version);
    }
}

}  // namespace

Database_Header Parse_Header(std::span<const std::uint8_t> raw, const std::string& file) {
    const std::size_t needed = format::Header_Mask_Start + format::Header_Mask_Size;
    static constexpr char jet_name[] = "Standard Jet DB";
    static constexpr char ace_name[] = "Standard ACE DB";
    static constexpr char msisam_name[] = "MSISAM Database";
    if (raw.size() < needed)
        throw Error(file + ": not a Jet database (the file is only " + std::to_string(raw.size()) +
                    " bytes long)");
    auto name_is = [&](const char* name) {
        return std::memcmp(raw.data() + format::Header_Engine_Name, name, 15) == 0;
    };
    if (raw[0] != format::Page_Type_Header || raw[format::Page_Marker] != format::Page_Marker_Value ||
        !(name_is(jet_name) || name_is(ace_name) || name_is(msisam_name)))
        throw Error(file + ": not a Jet database (no Jet header on page 0)");
    if (name_is(msisam_name)) throw Error(file + ": an MSISAM (Microsoft Money) file, not a Jet 4.0 database", Error_Kind::Unsupported);
    std::uint8_t version = raw[format::Header_Version];
    if (version != format::Version_Jet4)
        throw Error(file + ": the file is in the " + Version_Name(version) +
                    " format; only Jet 4.0 (Access 2000-2003 .mdb) databases are supported", Error_Kind::Unsupported);
    if (raw.size() < format::Page_Size)
        throw Error(file + ": page 0: the database header is truncated (" + std::to_string(raw.size()) +
                    " of " + std::to_string(format::Page_Size) + " bytes)");
    Database_Header h;
    std::copy(raw.begin(), raw.begin() + format::Page_Size, h.decoded.begin());
    Apply_Header_Mask(h.decoded);
    const auto& d = h.decoded;
    h.version = version;
    h.code_page = Get_U16(d, format::Header_Code_Page);
    h.database_key = Get_U32(d, format::Header_Database_Key);
    h.sort_order = Get_U16(d, format::Header_Sort_Order);
    h.sort_order_version = d[format::Header_Sort_Order_Version];
    h.creation_date = Get_Double(d, format::Header_Creation_Date);
    h.password = Unmask_Password(std::span(d).subspan(format::Header_Password, format::Header_Password_Size),
                                 h.creation_date);
    return h;
}

Page_File::Page_File(const std::filesystem::path& path, const std::string& password, const File_System& files)
    : path_(path), file_(files.Open_Read(path)), store_(*file_, 0), cache_(Cache_Slots) {
    // Phase: the header page, decoded, refused unless it is Jet 4.0's.
    const std::uint64_t size = file_->Size();
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(std::min<std::uint64_t>(size, format::Page_Size)));
    const auto raw = Read_Exactly(*file_, 0, scratch.size(), scratch.data());
    header_ = Parse_Header(raw, Name());

    // Phase: the size, in whole pages, and the page encoding from now on.
    if (size % format::Page_Size != 0)
        throw Error(Name() + ": the file is truncated or damaged: its size (" + std::to_string(size) +
                    " bytes) is not a whole number of 4096-byte pages");
    if (size / format::Page_Size > format::Max_Page_Number + 1ULL)
        throw Error(Name() + ": the file is larger than a Jet 4.0 database can be");
    page_count_ = static_cast<std::uint32_t>(size / format::Page_Size);
    owners_.assign(page_count_, Owner_Unknown);
    store_ = Page_Store(*file_, header_.database_key);

    if (!header_.password.empty() && password != header_.password) throw Password_Error();
}

Page_Ref Page_File::Read(std::uint32_t page) const {
    if (page >= page_count_)
        Fail(page, "page number out of range (the file has " + std::to_string(page_count_) + " pages)");
    if (page == 0) {
        Slot& slot = cache_[0];
        if (!(slot.data && slot.page == 0)) {
            slot.page = 0;
            slot.stored = false;
            slot.data = std::make_shared<Page>(header_.decoded);
        }
        return slot.data;
    }
    return store_.In_Place() ? Read_In_Place(page) : Read_Into_Cache(page);
}

void Page_File::Check_Not_Cut_Short() const {
    std::uint8_t byte = 0;
    Read_Exactly(*file_, 0, 1, &byte);  // a mapped file checks its mark on every read
}

// A page of a mapped file whose pages are not encoded: the mapped bytes themselves,
// holding the file open while the page is held.
Page_Ref Page_File::Read_In_Place(std::uint32_t page) const {
    Count_Mapped_Read();
    const auto bytes = store_.Read(page, 1, nullptr);
    Page_Ref result(file_, reinterpret_cast<const Page*>(bytes.data()));
    Note_Owner(page, *result);
    return result;
}

void Page_File::Count_Mapped_Read() const {
    if (++mapped_reads_ == Release_Pages) {
        mapped_reads_ = 0;
        file_->Release_Memory();
    }
}

Page_Ref Page_File::Read_Into_Cache(std::uint32_t page) const {
    Slot& slot = cache_[page % Cache_Slots];
    if (slot.data && slot.page == page) {
        if (slot.stored) Decode_Slot(page);
        return slot.data;
    }
    // From a descriptor, a page right after a run, or right after the last page read, is
    // read ahead in one call, straight into the cache's buffers; a page out of the way (a
    // long value's, an index's) alone, and the run goes on. From a mapping each page is
    // decoded only when it is asked for. Pages read ahead of an encoded file stay as stored
    // until they are asked for (a run holds other tables' pages too): only their opening
    // bytes are decoded, for their owner.
    const bool mapped = store_.File().In_Place();
    const bool ahead = !mapped && (page == run_end_ || page == last_end_);
    const std::uint32_t count = ahead ? std::min<std::uint32_t>(Read_Ahead_Pages, page_count_ - page) : 1;
    const bool encoded = store_.Key() != 0;
    std::array<std::span<std::uint8_t>, Read_Ahead_Pages> buffers;
    for (std::uint32_t k = 0; k < count; ++k) {
        Slot& s = cache_[(page + k) % Cache_Slots];
        // A buffer some reader (on any thread) still holds is never written again: the
        // slot takes a new one. One only this cache holds is reused once what its last
        // holder did with it is seen here. Until the read is done the slot holds no page.
        // A new buffer is not zeroed first: the read fills it whole, or fails and leaves
        // it unused.
        if (!s.data || s.data.use_count() > 1)
            s.data = std::make_shared_for_overwrite<Page>();
        else
            std::atomic_thread_fence(std::memory_order_acquire);
        s.page = No_Page;
        s.stored = false;
        buffers[k] = std::span(*s.data);
    }
    if (mapped) Count_Mapped_Read();  // the page is decoded into a buffer of ours
    store_.Read_Stored_Into(page, std::span(buffers).first(count));
    last_end_ = page + count;
    if (ahead) run_end_ = page + count;
    for (std::uint32_t k = 0; k < count; ++k) {
        Slot& s = cache_[(page + k) % Cache_Slots];
        s.page = page + k;
        s.stored = encoded;
        if (!encoded) {
            Note_Owner(page + k, *s.data);
        } else if (owners_[page + k] == Owner_Unknown) {
            std::array<std::uint8_t, Owner_Head> head;
            std::memcpy(head.data(), s.data->data(), head.size());
            store_.Decode(page + k, head);
            Note_Owner(page + k, head);
        }
    }
    if (encoded) Decode_Slot(page);
    return slot.data;
}

// Decodes the cached, stored page `page`, and with it the next page when that is cached
// as stored too and has the same owner (a walk's next page, most likely): two pages decode
// at once quicker than one after the other.
void Page_File::Decode_Slot(std::uint32_t page) const {
    Slot& slot = cache_[page % Cache_Slots];
    const std::uint32_t next = page + 1;
    Slot& after = cache_[next % Cache_Slots];
    if (after.stored && after.data && after.page == next && owners_[next] == owners_[page]) {
        store_.Decode_Two(page, *slot.data, next, *after.data);
        after.stored = false;
    } else {
        store_.Decode(page, *slot.data);
    }
    slot.stored = false;
}

std::uint32_t Page_File::Data_Page_Table(std::uint32_t page) const {
    if (page < owners_.size() && owners_[page] != Owner_Unknown) return owners_[page];
    if (page != 0 && page < page_count_ && store_.File().In_Place()) {
        // From a mapping only the page's opening bytes are read (and decoded, in an encoded
        // file), which say whose it is; the whole page may never be wanted.
        std::array<std::uint8_t, Owner_Head> head;
        Count_Mapped_Read();
        store_.Read_Head(page, head);
        Note_Owner(page, head);
    } else {
        Read(page);  // notes the owner; throws for a page out of range
    }
    return owners_[page] == Owner_Unknown ? No_Table : owners_[page];
}

void Page_File::Note_Owner(std::uint32_t page, std::span<const std::uint8_t> head) const {
    if (page >= owners_.size()) return;
    const std::uint32_t owner = Get_U32(head, format::Data_Tdef_Page);
    // Table pages are 3-byte numbers; anything larger ("LVAL" among them) is no table.
    owners_[page] = head[format::Page_Type] == format::Page_Type_Data && owner <= format::Max_Page_Number ? owner : No_Table;
}

void Page_File::Fail(std::uint32_t page, const std::string& what, Error_Kind kind) const {
    throw Error(Name() + ": page " + std::to_string(page) + ": " + what, kind);
}

void Page_File::Fail(const std::string& what) const { throw Error(Name() + ": " + what); }

}  // namespace kelbrook::jet
