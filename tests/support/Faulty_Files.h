// A file system for the engine's tests that fails the way disks and hosts do: a read
// error, a short read (fewer bytes handed back than asked for), a full disk, a flush
// that fails, a byte changed on its way to the disk. It wraps the host's files (jet::Host_Files) and is handed to the engine
// through the `files` member of Compact_Options / Generate_Options or Write_Database's
// `files` argument:
//
//   test::Faulty_Files files({test::File_Fault::Full_Disk, 8192});
//   Write_Database(image, path, {}, true, files);    // fails once 8192 bytes are written
//
// The fault strikes once the files it applies to (those whose path contains `only_in`,
// every file when empty) have read (Read_Error, Short_Read) or written (Full_Disk) `after`
// bytes between them, or on flush number `after` + 1 (Flush_Fails); every later attempt
// fails too. Flipped_Byte writes byte `after` of each such file with its lowest bit
// changed, saying nothing. Struck() tells whether it struck.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jet/file/File_Io.h"
#include "jet/util/Error.h"

namespace kelbrook::test {

struct File_Fault {
    enum Kind { Read_Error, Short_Read, Full_Disk, Flush_Fails, Flipped_Byte };
    File_Fault(Kind kind_, std::uint64_t after_, std::string only_in_ = {})
        : kind(kind_), after(after_), only_in(std::move(only_in_)) {}
    Kind kind;
    std::uint64_t after;
    std::string only_in;  // a part of the path of the files it applies to; empty: all
};

inline const char* Fault_Name(File_Fault::Kind kind) {
    switch (kind) {
        case File_Fault::Read_Error: return "read error";
        case File_Fault::Short_Read: return "short read";
        case File_Fault::Full_Disk: return "full disk";
        case File_Fault::Flush_Fails: return "failing flush";
        case File_Fault::Flipped_Byte: return "flipped byte";
    }
    return "?";
}

class Faulty_Files final : public jet::File_System {
public:
    explicit Faulty_Files(File_Fault fault, const jet::File_System& inner = jet::Host_Files())
        : fault_(std::move(fault)), inner_(inner) {}

    bool Struck() const { return struck_.load(); }
    // Bytes read from and written to the files the fault applies to, so far.
    std::uint64_t Bytes_Read() const { return read_.load(); }
    std::uint64_t Bytes_Written() const { return written_.load(); }
    // Bytes_Written each time writeback was asked for (Write_File::Start_Writeback).
    std::vector<std::uint64_t> Writeback_Asked() const {
        const std::lock_guard lock(asked_mutex_);
        return asked_;
    }

    std::unique_ptr<jet::Read_File> Open_Read(const std::filesystem::path& path) const override {
        return std::make_unique<Reader>(*this, inner_.Open_Read(path), Applies(path));
    }
    std::unique_ptr<jet::Write_File> Create(const std::filesystem::path& path) const override {
        return std::make_unique<Writer>(*this, inner_.Create(path), Applies(path));
    }
    std::unique_ptr<jet::Write_File> Open_Write(const std::filesystem::path& path) const override {
        return std::make_unique<Writer>(*this, inner_.Open_Write(path), Applies(path));
    }

private:
    File_Fault fault_;
    const jet::File_System& inner_;
    mutable std::atomic<std::uint64_t> read_{0};
    mutable std::atomic<std::uint64_t> written_{0};
    mutable std::atomic<std::uint64_t> flushes_{0};
    mutable std::atomic<bool> struck_{false};
    mutable std::mutex asked_mutex_;
    mutable std::vector<std::uint64_t> asked_;

    bool Applies(const std::filesystem::path& path) const {
        return fault_.only_in.empty() || path.string().find(fault_.only_in) != std::string::npos;
    }

    // How many of `count` bytes a read may have before the fault strikes.
    std::size_t Readable(std::size_t count) const {
        const std::uint64_t before = read_.fetch_add(count);
        if (fault_.kind != File_Fault::Read_Error && fault_.kind != File_Fault::Short_Read) return count;
        if (before + count <= fault_.after) return count;
        struck_ = true;
        return before >= fault_.after ? 0 : static_cast<std::size_t>(fault_.after - before);
    }

    class Reader final : public jet::Read_File {
    public:
        Reader(const Faulty_Files& files, std::unique_ptr<jet::Read_File> inner, bool applies)
            : Read_File(inner->Name()), files_(files), inner_(std::move(inner)), applies_(applies) {}
        std::uint64_t Size() const override { return inner_->Size(); }
        bool In_Place() const override { return inner_->In_Place(); }
        std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const override {
            return Faulty_Read(files_, applies_, *inner_, offset, count, scratch);
        }

    private:
        const Faulty_Files& files_;
        std::unique_ptr<jet::Read_File> inner_;
        bool applies_;
    };

    class Writer final : public jet::Write_File {
    public:
        Writer(const Faulty_Files& files, std::unique_ptr<jet::Write_File> inner, bool applies)
            : Write_File(inner->Name()), files_(files), inner_(std::move(inner)), applies_(applies) {}
        std::uint64_t Size() const override { return inner_->Size(); }
        std::span<const std::uint8_t> Read(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) const override {
            return Faulty_Read(files_, applies_, *inner_, offset, count, scratch);
        }
        void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
            const auto& fault = files_.fault_;
            if (!applies_) return inner_->Write(offset, bytes);
            if (fault.kind == File_Fault::Flipped_Byte && fault.after >= offset && fault.after - offset < bytes.size()) {
                std::vector<std::uint8_t> changed(bytes.begin(), bytes.end());
                changed[static_cast<std::size_t>(fault.after - offset)] ^= 1;
                files_.struck_ = true;
                return inner_->Write(offset, changed);
            }
            const std::uint64_t before = files_.written_.fetch_add(bytes.size());
            if (fault.kind != File_Fault::Full_Disk || before + bytes.size() <= fault.after)
                return inner_->Write(offset, bytes);
            files_.struck_ = true;
            // What fits still lands, as on a real disk.
            if (before < fault.after) inner_->Write(offset, bytes.first(static_cast<std::size_t>(fault.after - before)));
            throw jet::Error(jet::Disk_Full_Message(Name()), jet::Error_Kind::IO);
        }
        void Flush() override {
            const auto& fault = files_.fault_;
            if (applies_ && fault.kind == File_Fault::Flush_Fails && files_.flushes_.fetch_add(1) >= fault.after) {
                files_.struck_ = true;
                throw jet::Error("Could not write '" + Name() + "' to the disk: Input/output error.",
                                 jet::Error_Kind::IO);
            }
            inner_->Flush();
        }
        void Start_Writeback() override {
            if (applies_) {
                const std::lock_guard lock(files_.asked_mutex_);
                files_.asked_.push_back(files_.written_.load());
            }
            inner_->Start_Writeback();
        }
        void Close() override { inner_->Close(); }

    private:
        const Faulty_Files& files_;
        std::unique_ptr<jet::Write_File> inner_;
        bool applies_;
    };

    static std::span<const std::uint8_t> Faulty_Read(const Faulty_Files& files, bool applies, const jet::Read_File& inner,
                                                     std::uint64_t offset, std::size_t count, std::uint8_t* scratch) {
        if (!applies) return inner.Read(offset, count, scratch);
        const std::size_t readable = files.Readable(count);
        if (readable == count) return inner.Read(offset, count, scratch);
        if (files.fault_.kind == File_Fault::Read_Error)
            throw jet::Error(inner.Name() + ": cannot read " + std::to_string(count) + " bytes at byte " +
                                 std::to_string(offset) + " (Input/output error)",
                             jet::Error_Kind::IO);
        // A short read: fewer bytes than asked for come back, without an error.
        return inner.Read(offset, readable, scratch);
    }
};

}  // namespace kelbrook::test
