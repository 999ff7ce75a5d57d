#include "Win32_Main_View.h"

#include <exception>
#include <utility>

#include "Resource_Ids.h"
#include "Window_Design.h"
#include "frm_Main.h"

namespace kelbrook::win32 {
namespace {

using platform::win32::Display_Wide;
using platform::win32::Wide;
namespace Design = Window_Design;

constexpr wchar_t Window_Class[] = L"Kelbrook_frm_Main";
// Control identifiers: the first control's, then one more for each in tab order. They
// stay clear of IDOK and IDCANCEL, which the dialog keys send to the window.
constexpr int First_Control_Id = 101;

constexpr DWORD Window_Style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// The label's own flags: left-aligned lines, broken only at CR LF, "&" shown as it is.
constexpr UINT Label_Text_Format = DT_LEFT | DT_NOPREFIX | DT_EXPANDTABS;

std::size_t Index_Of(Control control) {
    for (std::size_t i = 0; i < Design::Controls.size(); ++i)
        if (Design::Controls[i].Id == control) return i;
    return 0;
}

COLORREF Colour_Ref(const Design::Colour& colour) { return RGB(colour.Red, colour.Green, colour.Blue); }

std::wstring Window_Text(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

}  // namespace

Win32_Main_View::Win32_Main_View(HINSTANCE instance) : instance_(instance) {
    HDC screen = GetDC(nullptr);
    if (screen != nullptr) {
        dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
    if (dpi_ <= 0) dpi_ = 96;
}

Win32_Main_View::~Win32_Main_View() {
    if (window_ != nullptr) {
        closing_ = true;
        form_ = nullptr;  // the form may be gone already; the window is torn down quietly
        DestroyWindow(window_);
    }
    for (HBRUSH brush : brushes_)
        if (brush != nullptr) DeleteObject(brush);
    if (font_ != nullptr) DeleteObject(font_);
}

int Win32_Main_View::Pixels(int twips) const { return MulDiv(twips, dpi_, 1440); }

HWND Win32_Main_View::Control_Window(Control control) const { return controls_[Index_Of(control)]; }

void Win32_Main_View::Create(frm_Main& form) {
    form_ = &form;

    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = Window_Procedure;
    window_class.hInstance = instance_;
    window_class.hIcon = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KELBROOK), IMAGE_ICON,
                                                       GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON),
                                                       LR_DEFAULTCOLOR));
    window_class.hIconSm = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDI_KELBROOK), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = Window_Class;
    if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw platform::Service_Error("The main window cannot be registered: " +
                                      platform::win32::System_Message(GetLastError()));

    RECT frame{0, 0, Pixels(Design::Client_Width), Pixels(Design::Client_Height)};
    AdjustWindowRect(&frame, Window_Style, FALSE);
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, Window_Class, L"", Window_Style, CW_USEDEFAULT, CW_USEDEFAULT,
                              frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance_, this);
    if (window_ == nullptr)
        throw platform::Service_Error("The main window cannot be created: " +
                                      platform::win32::System_Message(GetLastError()));

    // "MS Sans Serif", 9.75 points, normal weight.
    const std::wstring face = Wide(Design::Font_Name);
    font_ = CreateFontW(-MulDiv(static_cast<int>(Design::Font_Points * 100 + 0.5), dpi_, 7200), 0, 0, 0,
                        Design::Font_Weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                        CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face.c_str());
    SendMessageW(window_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

    // The controls are made in tab order, so that the window's child order is the tab order.
    for (std::size_t i = 0; i < Design::Controls.size(); ++i) {
        const Design::Control_Design& design = Design::Controls[i];
        const bool label = design.Kind_Of == Design::Kind::Label;
        DWORD style = WS_CHILD | (design.Visible_At_Start ? WS_VISIBLE : 0);
        const wchar_t* control_class = label ? L"STATIC" : L"BUTTON";
        if (label) {
            style |= SS_LEFTNOWORDWRAP | SS_NOPREFIX;
        } else {
            style |= WS_TABSTOP | (design.Background ? BS_OWNERDRAW : BS_PUSHBUTTON);
            if (design.Background) brushes_[i] = CreateSolidBrush(Colour_Ref(*design.Background));
        }
        const std::wstring text = Wide(design.Text);
        controls_[i] = CreateWindowExW(0, control_class, text.c_str(), style, Pixels(design.Left), Pixels(design.Top),
                                       Pixels(design.Width), Pixels(design.Height), window_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(First_Control_Id + i)),
                                       instance_, nullptr);
        if (controls_[i] == nullptr)
            throw platform::Service_Error("The control " + std::string(design.Name) + " cannot be created: " +
                                          platform::win32::System_Message(GetLastError()));
        SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
    Size_Label();
}

void Win32_Main_View::Show(int show_command) {
    RECT frame{0, 0, Pixels(Design::Client_Width), Pixels(Design::Client_Height)};
    if constexpr (Constants::Start_Position == Constants::Window_Start_Position::Centred) {
        AdjustWindowRect(&frame, Window_Style, FALSE);
        const int width = frame.right - frame.left;
        const int height = frame.bottom - frame.top;
        const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
        const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
        SetWindowPos(window_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
        // The client area's top-left corner goes to the design position.
        OffsetRect(&frame, Pixels(Design::Design_Left), Pixels(Design::Design_Top));
        AdjustWindowRect(&frame, Window_Style, FALSE);
        SetWindowPos(window_, nullptr, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    ShowWindow(window_, show_command);
    UpdateWindow(window_);
    // The first control that can take the focus ("Click to Close" is hidden at start).
    HWND first = GetNextDlgTabItem(window_, nullptr, FALSE);
    if (first != nullptr) SetFocus(first);
}

void Win32_Main_View::Set_Title(const std::string& title) {
    if (window_ != nullptr) SetWindowTextW(window_, Wide(title).c_str());
}

void Win32_Main_View::Set_Visible(Control control, bool visible) {
    HWND target = Control_Window(control);
    if (target == nullptr) return;
    if (!visible && GetFocus() == target) {
        // The focus moves on to the next control that can take it, as in a dialog.
        HWND next = GetNextDlgTabItem(window_, target, FALSE);
        SetFocus(next != nullptr && next != target ? next : window_);
    }
    ShowWindow(target, visible ? SW_SHOW : SW_HIDE);
    if (visible && (GetWindowLongW(target, GWL_STYLE) & WS_TABSTOP) != 0) {
        HWND focus = GetFocus();
        if (focus == nullptr || focus == window_ || !IsWindowVisible(focus)) SetFocus(target);
    }
}

void Win32_Main_View::Set_Label_Text(const std::string& text) {
    HWND label = Control_Window(Control::lbl_Getting_files);
    if (label == nullptr) return;
    SetWindowTextW(label, Wide(text).c_str());
    Size_Label();
}

void Win32_Main_View::Size_Label() {
    HWND label = Control_Window(Control::lbl_Getting_files);
    if (label == nullptr) return;
    const std::wstring text = Window_Text(label);
    HDC dc = GetDC(label);
    if (dc == nullptr) return;
    HGDIOBJ previous = SelectObject(dc, font_);
    RECT needed{0, 0, 0, 0};
    // An empty text still takes one line's height.
    DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &needed, DT_CALCRECT | Label_Text_Format);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);

    // Whatever the label covered before is the window's to paint again.
    RECT before{};
    GetWindowRect(label, &before);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&before), 2);
    SetWindowPos(label, nullptr, 0, 0, needed.right - needed.left, needed.bottom - needed.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window_, &before, TRUE);
    InvalidateRect(label, nullptr, TRUE);
}

void Win32_Main_View::Repaint() {
    if (window_ != nullptr)
        RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
}

void Win32_Main_View::Show_Message(const std::string& text, const std::string& title, Message_Icon icon) {
    const UINT style = MB_OK | (icon == Message_Icon::Exclamation ? MB_ICONEXCLAMATION : MB_ICONERROR);
    HWND owner = window_ != nullptr && IsWindow(window_) ? window_ : nullptr;
    MessageBoxW(owner, Display_Wide(text).c_str(), Display_Wide(title).c_str(), style);
}

void Win32_Main_View::Close(int exit_status) {
    exit_status_ = exit_status;
    if (window_ != nullptr && !closing_) {
        closing_ = true;
        DestroyWindow(window_);
    }
}

template <typename Handler>
void Win32_Main_View::Run_Handler(Handler&& handler) {
    if (form_ == nullptr) return;
    // No exception may cross the system's window procedure.
    try {
        std::forward<Handler>(handler)(*form_);
        return;
    } catch (const std::exception& failure) {
        const std::string description = failure.what();
        Show_Message(description.empty() ? "Unexpected failure" : description, frm_Main::Title(),
                     Message_Icon::Error);
    } catch (...) {
        Show_Message("Unexpected failure", frm_Main::Title(), Message_Icon::Error);
    }
    Close(Exit_Run_Failed);
}

void Win32_Main_View::On_Command(int id) {
    const int index = id - First_Control_Id;
    if (index < 0 || index >= static_cast<int>(Design::Controls.size())) return;
    switch (Design::Controls[static_cast<std::size_t>(index)].Id) {
        case Control::cmd_Continue:
            Run_Handler([](frm_Main& form) { form.cmd_Continue_Click(); });
            break;
        case Control::cmd_Cancel:
            Run_Handler([](frm_Main& form) { form.cmd_Cancel_Click(); });
            break;
        case Control::cmd_Exit:
            Run_Handler([](frm_Main& form) { form.cmd_Exit_Click(); });
            break;
        case Control::lbl_Getting_files:
            break;
    }
}

void Win32_Main_View::Draw_Button(const DRAWITEMSTRUCT& item) {
    const std::size_t index = static_cast<std::size_t>(item.CtlID) - First_Control_Id;
    if (index >= controls_.size()) return;
    HDC dc = item.hDC;
    RECT area = item.rcItem;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;

    FillRect(dc, &area, brushes_[index] != nullptr ? brushes_[index] : GetSysColorBrush(COLOR_BTNFACE));
    if (focused) {
        // The button with the focus carries a dark outline, as standard push buttons do.
        FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        InflateRect(&area, -1, -1);
    }
    DrawEdge(dc, &area, pressed ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);

    RECT text_area = area;
    InflateRect(&text_area, -2, -2);
    if (pressed) OffsetRect(&text_area, 1, 1);
    const std::wstring text = Window_Text(item.hwndItem);
    HGDIOBJ previous = SelectObject(dc, font_);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor((item.itemState & ODS_DISABLED) != 0 ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    DrawTextW(dc, text.c_str(), -1, &text_area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, previous);

    if (focused) {
        RECT focus = area;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(dc, &focus);
    }
}

LRESULT CALLBACK Win32_Main_View::Window_Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
        auto* view = static_cast<Win32_Main_View*>(create->lpCreateParams);
        view->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
    }
    auto* view = reinterpret_cast<Win32_Main_View*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (view == nullptr) return DefWindowProcW(window, message, w, l);
    return view->Handle(message, w, l);
}

LRESULT Win32_Main_View::Handle(UINT message, WPARAM w, LPARAM l) {
    HWND window = window_;
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(w) == BN_CLICKED && l != 0) On_Command(LOWORD(w));
            return 0;
        case WM_DRAWITEM:
            Draw_Button(*reinterpret_cast<const DRAWITEMSTRUCT*>(l));
            return TRUE;
        case WM_CTLCOLORSTATIC: {
            HDC dc = reinterpret_cast<HDC>(w);
            SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
        }
        case WM_ACTIVATE:
            // Keep the focus on the control that had it when the window comes back.
            if (LOWORD(w) == WA_INACTIVE) {
                last_focus_ = GetFocus();
            } else if (last_focus_ != nullptr && IsWindow(last_focus_) && IsWindowVisible(last_focus_)) {
                SetFocus(last_focus_);
                return 0;
            }
            break;
        case WM_CLOSE:
            // The close box: frm_Main says whether the window may go (not while a run is on).
            if (form_ != nullptr) {
                bool may_unload = true;
                try {
                    may_unload = form_->Form_QueryUnload();
                } catch (...) {
                }
                if (!may_unload) return 0;
            }
            Close(exit_status_);
            return 0;
        case WM_DESTROY:
            closing_ = true;
            if (form_ != nullptr) {
                try {
                    form_->Form_Unload();
                } catch (...) {
                }
            }
            PostQuitMessage(exit_status_);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            window_ = nullptr;
            controls_.fill(nullptr);
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, w, l);
}

}  // namespace kelbrook::win32
