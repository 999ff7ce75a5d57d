#include "jet/generator/Page_Editor.h"

#include <algorithm>
#include <cstring>

#include "jet/util/Error.h"

namespace kelbrook::jet::generator {

Page_Editor::Page_Editor(const File_System& files, const std::filesystem::path& path, std::uint32_t key)
    : file_(files.Open_Write(path)), store_(*file_, key), pages_(store_.Page_Count()) {
    slots_.reserve(Slots);
}

const Page_Buffer& Page_Editor::Read(std::uint32_t page) { return Load(page).bytes; }

Page_Buffer& Page_Editor::Edit(std::uint32_t page) {
    Slot& slot = Load(page);
    slot.dirty = true;
    return slot.bytes;
}

Page_Editor::Slot& Page_Editor::Load(std::uint32_t page) {
    if (page >= pages_) Fail(page, "lies past the end of the file.");
    ++clock_;
    if (auto it = where_.find(page); it != where_.end()) {
        slots_[it->second].used = clock_;
        return slots_[it->second];
    }
    std::size_t s = slots_.size();
    if (s < Slots) {
        slots_.emplace_back();
    } else {
        s = static_cast<std::size_t>(std::min_element(slots_.begin(), slots_.end(),
                                                      [](const Slot& a, const Slot& b) { return a.used < b.used; }) -
                                     slots_.begin());
        Write_Back(slots_[s]);
        where_.erase(slots_[s].page);
    }
    Slot& slot = slots_[s];
    const auto bytes = store_.Read(page, 1, slot.bytes.data());
    if (bytes.data() != slot.bytes.data()) std::memcpy(slot.bytes.data(), bytes.data(), format::Page_Size);
    slot.page = page;
    slot.dirty = false;
    slot.used = clock_;
    where_[page] = s;
    return slot;
}

void Page_Editor::Write_Back(Slot& slot) {
    if (!slot.dirty) return;
    Page_Buffer encoded = slot.bytes;  // the store encodes in place; the slot stays decoded
    store_.Write(slot.page, encoded);
    slot.dirty = false;
}

void Page_Editor::Finish() {
    std::vector<Slot*> dirty;
    for (Slot& slot : slots_)
        if (slot.dirty) dirty.push_back(&slot);
    std::sort(dirty.begin(), dirty.end(), [](const Slot* a, const Slot* b) { return a->page < b->page; });
    for (Slot* slot : dirty) Write_Back(*slot);
    file_->Flush();
    file_->Close();
}

void Page_Editor::Fail(std::uint32_t page, const std::string& what) const {
    throw Error(file_->Name() + ": page " + std::to_string(page) + ": " + what);
}

}  // namespace kelbrook::jet::generator
