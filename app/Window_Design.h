// The main window as designed: sizes and places in twips, the font, the controls in tab
// order with their first texts and colours. Both front ends build their window from this
// table; it holds no toolkit type.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "Constants.h"
#include "Main_View.h"

namespace kelbrook::Window_Design {

// The design was made at 96 dots per inch: 1440 twips per inch, so 15 twips per pixel.
inline constexpr int Twips_Per_Pixel = 15;
constexpr int Pixels(int twips) { return twips / Twips_Per_Pixel; }

inline constexpr int Client_Width = 8850;
inline constexpr int Client_Height = 2970;

// Files-for-emailing variant: where the client area's top-left corner opens on the screen.
inline constexpr int Design_Left = 300;
inline constexpr int Design_Top = 3255;

inline constexpr std::string_view Font_Name = "MS Sans Serif";
inline constexpr double Font_Points = 9.75;
inline constexpr int Font_Weight = 400;

struct Colour {
    std::uint8_t Red, Green, Blue;
    friend constexpr bool operator==(const Colour&, const Colour&) = default;
};
inline constexpr Colour Continue_Colour{192, 255, 192};  // light green
inline constexpr Colour Cancel_Colour{255, 224, 192};    // light orange

enum class Kind { Label, Button };

struct Control_Design {
    Control Id;
    std::string_view Name;
    Kind Kind_Of;
    std::string_view Text;
    int Left, Top, Width, Height;  // twips, relative to the client area
    bool Visible_At_Start;
    std::optional<Colour> Background;  // empty: the platform's standard look
};

// In tab order.
inline constexpr std::array<Control_Design, 4> Controls{{
    {Control::lbl_Getting_files, "lbl_Getting_files", Kind::Label, Constants::Startup_Notice,
     630, 750, 6825, 240, true, std::nullopt},
    {Control::cmd_Exit, "cmd_Exit", Kind::Button, Constants::Caption_Exit,
     2910, 1875, 2415, 585, false, std::nullopt},
    {Control::cmd_Continue, "cmd_Continue", Kind::Button, Constants::Caption_Continue,
     330, 1875, 2415, 585, true, Continue_Colour},
    {Control::cmd_Cancel, "cmd_Cancel", Kind::Button, Constants::Caption_Cancel,
     6765, 1875, 1230, 585, true, Cancel_Colour},
}};

constexpr const Control_Design& Design_Of(Control id) {
    for (const auto& c : Controls)
        if (c.Id == id) return c;
    return Controls[0];
}

}  // namespace kelbrook::Window_Design
