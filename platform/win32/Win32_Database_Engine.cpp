// The database engine on Windows: the platform's own JetEngine (Jet and Replication
// Objects) where it is registered, reached late-bound through IDispatch; our engine where
// it is not (64-bit Windows has no Jet 4.0, nor has Wine).
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jet/engine/Connection_String.h"
#include "jet/file/Exclusive_Use.h"
#include "platform/Database_Engine.h"
#include "platform/File_System_Service.h"
#include "platform/Our_Database_Engine.h"
#include "platform/win32/Win32_Text.h"

namespace kelbrook::platform {
namespace {

// JRO.JetEngine and its interface IJetEngine.
constexpr CLSID Jet_Engine_Class{0xDE88C160, 0xFF2C, 0x11D1, {0xBB, 0x6F, 0x00, 0xC0, 0x4F, 0xAE, 0x22, 0xDA}};
constexpr IID Jet_Engine_Interface{0x9F63D980, 0xFF25, 0x11D1, {0xBB, 0x6F, 0x00, 0xC0, 0x4F, 0xAE, 0x22, 0xDA}};
constexpr IID No_Interface{};

// A BSTR owned for the span of one call.
class Bstr {
public:
    explicit Bstr(const std::string& text) {
        const std::wstring wide = win32::Wide(text);
        value_ = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (value_ == nullptr) throw Service_Error("Out of memory");
    }
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_;
};

std::string Take(BSTR& text) {
    std::string narrow = text != nullptr ? win32::Narrow(std::wstring_view(text, SysStringLen(text))) : "";
    SysFreeString(text);
    text = nullptr;
    return narrow;
}

std::string Data_Source_Of(const std::string& connection) {
    return jet::Interpret_Source(jet::Parse_Connection_String(connection)).data_source;
}

bool Same_Path(const std::string& a, const std::string& b) {
    const std::wstring wa = win32::Wide(a), wb = win32::Wide(b);
    return std::equal(wa.begin(), wa.end(), wb.begin(), wb.end(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

// The hold the platform's engine gives. Its CompactDatabase opens the source exclusively
// itself, and any open of ours (a handle of the file, a lock on its lock file) would make
// that open fail. So the hold comes in two steps: Hold_Exclusive takes our full hold and
// lets it go at once, which fails with Jet's text while another program has the database
// open; CompactDatabase of the same source, once the platform's compaction has returned,
// engages the full hold for the rest of the rotation. During the compaction Jet's own
// exclusive open keeps others out; only the moment between its close and our hold is open.
class Com_Hold final : public Database_Hold {
public:
    using Registry = std::vector<Com_Hold*>;
    Com_Hold(std::string data_source, std::shared_ptr<Registry> registry)
        : data_source_(std::move(data_source)), registry_(std::move(registry)) {
        jet::Exclusive_Use check(win32::Wide(data_source_), data_source_);
        registry_->push_back(this);
    }
    ~Com_Hold() override { std::erase(*registry_, this); }
    Com_Hold(const Com_Hold&) = delete;
    Com_Hold& operator=(const Com_Hold&) = delete;

    const std::string& Data_Source() const { return data_source_; }
    void Engage() {
        if (use_) return;
        use_.emplace(win32::Wide(data_source_), data_source_);
        if (released_) use_->Release_File();
    }
    void Release_File() override {
        released_ = true;
        if (use_) use_->Release_File();
    }

private:
    std::string data_source_;
    std::shared_ptr<Registry> registry_;
    std::optional<jet::Exclusive_Use> use_;
    bool released_ = false;
};

class Com_Jet_Engine final : public Database_Engine {
public:
    // Takes over one reference to the engine and one initialisation of COM on this thread.
    Com_Jet_Engine(IDispatch* engine, bool uninitialize) : engine_(engine), uninitialize_(uninitialize) {}
    ~Com_Jet_Engine() override {
        engine_->Release();
        if (uninitialize_) CoUninitialize();
    }
    Com_Jet_Engine(const Com_Jet_Engine&) = delete;
    Com_Jet_Engine& operator=(const Com_Jet_Engine&) = delete;

    void CompactDatabase(const std::string& source_connection,
                         const std::string& destination_connection) override {
        wchar_t name[] = L"CompactDatabase";
        LPOLESTR names[] = {name};
        DISPID method = 0;
        HRESULT result = engine_->GetIDsOfNames(No_Interface, names, 1, LOCALE_USER_DEFAULT, &method);
        if (FAILED(result)) Fail(result, "The database engine has no CompactDatabase");

        Bstr source(source_connection);
        Bstr destination(destination_connection);
        // Arguments go in reverse order: the last one first.
        VARIANTARG arguments[2];
        VariantInit(&arguments[0]);
        VariantInit(&arguments[1]);
        arguments[0].vt = VT_BSTR;
        arguments[0].bstrVal = destination.get();
        arguments[1].vt = VT_BSTR;
        arguments[1].bstrVal = source.get();
        DISPPARAMS parameters{arguments, nullptr, 2, 0};

        EXCEPINFO exception{};
        UINT bad_argument = 0;
        result = engine_->Invoke(method, No_Interface, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, nullptr,
                                 &exception, &bad_argument);
        if (result == DISP_E_EXCEPTION) {
            if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
            std::string description = Take(exception.bstrDescription);
            Take(exception.bstrSource);
            Take(exception.bstrHelpFile);
            if (description.empty()) description = win32::System_Message(static_cast<DWORD>(exception.scode));
            if (description.empty()) description = "The database engine failed to compact the database";
            throw Service_Error(description);
        }
        if (FAILED(result)) Fail(result, "The database engine failed to compact the database");
        // The platform's engine has closed the source: holds of it take it now.
        const std::string compacted = Data_Source_Of(source_connection);
        for (Com_Hold* hold : std::vector<Com_Hold*>(*holds_))
            if (Same_Path(hold->Data_Source(), compacted)) hold->Engage();
    }

    std::unique_ptr<Database_Hold> Hold_Exclusive(const std::string& source_connection) override {
        return std::make_unique<Com_Hold>(Data_Source_Of(source_connection), holds_);
    }
    void Verify_Database(const std::string& connection) override { Our_Database_Engine().Verify_Database(connection); }

private:
    [[noreturn]] static void Fail(HRESULT result, const char* fallback) {
        std::string message = win32::System_Message(static_cast<DWORD>(result));
        throw Service_Error(message.empty() ? std::string(fallback) : message);
    }

    IDispatch* engine_;
    bool uninitialize_;
    std::shared_ptr<Com_Hold::Registry> holds_ = std::make_shared<Com_Hold::Registry>();
};

}  // namespace

std::unique_ptr<Database_Engine> Create_Database_Engine() {
    const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const bool uninitialize = SUCCEEDED(started);  // S_OK or S_FALSE: ours to balance
    if (SUCCEEDED(started) || started == RPC_E_CHANGED_MODE) {
        void* engine = nullptr;
        if (SUCCEEDED(CoCreateInstance(Jet_Engine_Class, nullptr, CLSCTX_INPROC_SERVER, Jet_Engine_Interface,
                                       &engine)) &&
            engine != nullptr) {
            return std::make_unique<Com_Jet_Engine>(static_cast<IDispatch*>(engine), uninitialize);
        }
    }
    if (uninitialize) CoUninitialize();
    // Our own engine; on Windows it takes the paths as given.
    return std::make_unique<Our_Database_Engine>();
}

}  // namespace kelbrook::platform
