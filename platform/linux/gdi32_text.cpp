// DrawTextW (user32 on Windows): one line of text with SDL_ttf, in the font
// fontconfig names for "sans-serif", or the font file named by the
// environment variable KESTROVA_FONT (a file that does not open means no
// font). Like a fresh Windows device context: black text on an opaque white
// background, a font about 16 pixels high.
#include <SDL.h>
#include <SDL_ttf.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <deque>
#include <string>

#include "platform/linux/gdi_internal.h"
#include "platform/linux/stand_in.h"

namespace {

constexpr int FONT_HEIGHT = 16;

struct FontState {
    bool chosen = false;
    std::string source;  // what the font was chosen from
    TTF_Font* font = nullptr;
};
FontState fontState;

// The line drawn last, kept as rendered: a running program draws the same
// text at every paint until it changes.
struct RenderedLine {
    TTF_Font* font = nullptr;
    std::string text;
    SDL_Surface* pixels = nullptr;  // SDL_PIXELFORMAT_RGB888
};
RenderedLine lastLine;

void forgetRenderedLine() {
    if (lastLine.pixels != nullptr) SDL_FreeSurface(lastLine.pixels);
    lastLine = RenderedLine{};
}

// The line of text in black on white, or null.
SDL_Surface* renderedLine(TTF_Font* font, const std::string& text) {
    if (lastLine.pixels != nullptr && lastLine.font == font && lastLine.text == text) return lastLine.pixels;
    forgetRenderedLine();
    SDL_Surface* rendered =
        TTF_RenderUTF8_Shaded(font, text.c_str(), SDL_Color{0, 0, 0, 255}, SDL_Color{255, 255, 255, 255});
    if (rendered == nullptr) return nullptr;
    SDL_Surface* line = SDL_ConvertSurfaceFormat(rendered, SDL_PIXELFORMAT_RGB888, 0);
    SDL_FreeSurface(rendered);
    if (line != nullptr) lastLine = RenderedLine{font, text, line};
    return line;
}

std::string fontconfigSansSerif() {
    std::string path;
    FcConfig* config = FcInitLoadConfigAndFonts();
    if (config == nullptr) return path;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif"));
    if (pattern != nullptr) {
        FcConfigSubstitute(config, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        FcPattern* match = FcFontMatch(config, pattern, &result);
        FcChar8* file = nullptr;
        if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file != nullptr) {
            path = reinterpret_cast<const char*>(file);
        }
        if (match != nullptr) FcPatternDestroy(match);
        FcPatternDestroy(pattern);
    }
    FcConfigDestroy(config);
    return path;
}

// The largest size of the font whose lines are at most FONT_HEIGHT high.
TTF_Font* openFont(const std::string& path) {
    if (path.empty() || (TTF_WasInit() == 0 && TTF_Init() != 0)) return nullptr;
    TTF_Font* font = TTF_OpenFont(path.c_str(), FONT_HEIGHT);
    if (font == nullptr) return nullptr;
    for (int size = FONT_HEIGHT; size > 6 && TTF_FontHeight(font) > FONT_HEIGHT; --size) {
        TTF_SetFontSize(font, size - 1);
    }
    return font;
}

TTF_Font* currentFont() {
    const char* forced = std::getenv("KESTROVA_FONT");
    const std::string source = forced != nullptr ? std::string("file:") + forced : std::string("fontconfig");
    if (fontState.chosen && fontState.source == source) return fontState.font;
    standin::closeFonts();
    fontState.chosen = true;
    fontState.source = source;
    fontState.font = openFont(forced != nullptr ? std::string(forced) : fontconfigSansSerif());
    return fontState.font;
}

}  // namespace

namespace standin {

void closeFonts() {
    forgetRenderedLine();
    if (fontState.font != nullptr) TTF_CloseFont(fontState.font);
    fontState = FontState{};
    if (TTF_WasInit() != 0) TTF_Quit();
}

}  // namespace standin

// One line, top-aligned, left or centred (DT_CENTER) in rect and clipped to
// it; other format flags are not supported. A negative length other than -1
// draws nothing. Returns the line height, 0 when nothing could be drawn.
namespace {

// The last few texts asked for, newest last; a running program draws one
// every tick, so only a handful are kept.
std::deque<std::wstring> recentTexts;
constexpr size_t kRecentTextCount = 8;

}  // namespace

const std::deque<std::wstring>& standin::drawnTexts() { return recentTexts; }

int WINAPI DrawTextW(HDC hdc, LPCWSTR text, int length, LPRECT rect, UINT format) {
    if (!standin::isDeviceContext(hdc) || text == nullptr || rect == nullptr || length < -1) return 0;
    const size_t count = length == -1 ? std::wcslen(text) : size_t(length);
    recentTexts.emplace_back(text, count);
    if (recentTexts.size() > kRecentTextCount) recentTexts.pop_front();
    const std::string utf8 = standin::toUtf8(text, count);
    if (utf8.empty()) return 0;
    TTF_Font* font = currentFont();
    if (font == nullptr) return 0;
    const RECT area = standin::intersect(*rect, standin::drawableArea(hdc));
    if (standin::isEmpty(area)) return TTF_FontHeight(font);  // all of it clipped away
    SDL_Surface* line = renderedLine(font, utf8);
    if (line == nullptr) return 0;

    const int64_t boxWidth = int64_t(rect->right) - rect->left;
    int64_t left = rect->left;
    if ((format & DT_CENTER) != 0) left += (boxWidth - line->w) / 2;
    const int64_t top = rect->top;
    standin::Framebuffer& target = *standin::targetOf(hdc);
    const int64_t xFirst = std::max<int64_t>(area.left, left), xEnd = std::min<int64_t>(area.right, left + line->w);
    const int64_t yFirst = std::max<int64_t>(area.top, top), yEnd = std::min<int64_t>(area.bottom, top + line->h);
    if (SDL_LockSurface(line) == 0) {
        for (int64_t y = yFirst; y < yEnd; ++y) {
            const auto* source = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(line->pixels) +
                                                                   (y - top) * line->pitch);
            uint32_t* out = target.pixels.data() + y * target.width;
            for (int64_t x = xFirst; x < xEnd; ++x) out[x] = source[x - left] & 0xFFFFFFu;
        }
        SDL_UnlockSurface(line);
    }
    return TTF_FontHeight(font);
}
