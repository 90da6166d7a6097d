// The window of `lorvcam view` (SDL2): the picture as the library wrote it, the overview map
// that is the library's pan control, sliders for the decoder's picture settings, the frame
// rate and one line for what went wrong.
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "image.h"
#include "png_file.h"
#include "view.h"
#include "view_camera.h"

namespace lorvcam {

namespace {

using Clock = std::chrono::steady_clock;

constexpr Point kMap{230, 120};  // the pan control: half the source in each direction
constexpr int kPanel = 250;      // width of the panel right of the picture
constexpr int kLine = 16;
constexpr int kStatusHeight = 20;
constexpr int kPictureStep = 8;
constexpr const char* kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

constexpr ViewFormat kSizes[] = {{160, 120}, {320, 240}, {640, 480}};

const char* const kKeys[] = {
    "wheel, + -   zoom",
    "drag, arrows pan; click map",
    "b B  c C  a A  h H  picture",
    "0  picture as loaded",
    "m M  mode   1 2 3  size",
    "d  16/24-bit   x  double size",
    "s  save PNG   r  reconnect",
    "q, Esc  close",
};

struct Rect {
    int x, y, w, h;
    bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    SDL_Rect Sdl() const { return {x, y, w, h}; }
};

// Contrast and hue are signed bytes in the decoder; brightness and saturation are not.
bool Signed(int control) { return control == 1 || control == 3; }

int ToLevel(int control, int byte) { return Signed(control) ? static_cast<std::int8_t>(byte) : byte; }
int ToByte(int control, int level)
{
    level = Signed(control) ? std::clamp(level, -128, 127) : std::clamp(level, 0, 255);
    return level & 0xFF;
}
int LevelMin(int control) { return Signed(control) ? -128 : 0; }

std::string Hex(int byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

std::string Describe(const ViewState& s)
{
    std::string text = std::to_string(s.format.width) + "x" + std::to_string(s.format.height) + " mode " +
                       std::to_string(s.format.mode) + " " + std::to_string(s.format.bits) + "-bit" +
                       (s.format.doubleSize ? " double" : "") + ", zoom " + std::to_string(s.zoom) + " (" +
                       std::to_string(s.zoomMin) + " to " + std::to_string(s.zoomMax) + "), view " +
                       std::to_string(s.panLeft) + "," + std::to_string(s.panTop) + " to " +
                       std::to_string(s.panRight) + "," + std::to_string(s.panBottom);
    for (std::size_t i = 0; i < s.picture.size(); ++i)
        text += std::string(", ") + kPictureNames[i] + " " + Hex(s.picture[i]);
    return text;
}

// Pictures shown per wall-clock second over the last two seconds.
class RateMeter {
public:
    void Shown()
    {
        const auto now = Clock::now();
        times_.push_back(now);
        while (now - times_.front() > std::chrono::seconds(2))
            times_.pop_front();
    }
    double PerSecond() const
    {
        if (times_.size() < 2)
            return 0;
        return (times_.size() - 1) / std::chrono::duration<double>(times_.back() - times_.front()).count();
    }

private:
    std::deque<Clock::time_point> times_;
};

class Window {
public:
    Window(const Command& command, ViewCamera& camera) : command_(command), camera_(camera)
    {
        if (SDL_Init(SDL_INIT_VIDEO) != 0)
            throw std::runtime_error(std::string("cannot open a window: ") + SDL_GetError());
        format_ = {command.capture.width, command.capture.height, command.capture.mode,
                   command.capture.bitsPerPixel, command.capture.doubleSize};
        window_ = SDL_CreateWindow("lorvcam view", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                   WindowWidth(format_), WindowHeight(format_), 0);
        if (!window_)
            throw std::runtime_error(std::string("cannot open a window: ") + SDL_GetError());
        renderer_ = SDL_CreateRenderer(window_, -1, 0);
        if (!renderer_)
            throw std::runtime_error(std::string("cannot draw in the window: ") + SDL_GetError());
        if (TTF_Init() == 0)
            font_ = TTF_OpenFont(kFont, 12);
        if (!font_)
            std::cerr << "lorvcam: no text in the window (" << kFont << " did not load: " << TTF_GetError() << ")\n";
    }

    ~Window()
    {
        DropTextures();
        if (font_)
            TTF_CloseFont(font_);
        TTF_Quit();
        if (renderer_)
            SDL_DestroyRenderer(renderer_);
        if (window_)
            SDL_DestroyWindow(window_);
        SDL_Quit();
    }

    // Runs until the window is closed or the camera thread ends on its own.
    void Run()
    {
        auto lastDraw = Clock::now();
        while (!closing_ && !camera_.Ended()) {
            // Polled, not SDL_WaitEventTimeout: SDL's wait wakes itself with a message sent
            // over a second X connection, which can reach the server after the window is gone
            // on close (BadWindow, and Xlib ends the program).
            SDL_Event event;
            bool changed = false;
            while (SDL_PollEvent(&event)) {
                Handle(event);
                changed = true;
            }
            if (camera_.TakePicture(picture_)) {
                NewPicture();
                changed = true;
            }
            if (!changed)
                SDL_Delay(5);
            if (changed || Clock::now() - lastDraw > std::chrono::milliseconds(250)) {
                Draw();
                lastDraw = Clock::now();
                if (changed && tracePending_) {
                    Trace("picture " + std::to_string(picture_.number) + " shown: " + Describe(picture_.shows));
                    tracePending_ = false;
                }
            }
        }
    }

private:
    static int WindowWidth(const ViewFormat& f) { return f.ShownWidth() + kPanel; }
    static int WindowHeight(const ViewFormat& f) { return std::max(f.ShownHeight(), 400) + kStatusHeight; }

    Rect PictureRect() const { return {0, 0, format_.ShownWidth(), format_.ShownHeight()}; }
    Rect MapRect() const { return {format_.ShownWidth() + 10, 10, kMap.x, kMap.y}; }
    Rect SliderRect(int control) const
    {
        return {format_.ShownWidth() + 100, 10 + kMap.y + 12 + 3 * kLine + control * kLine + 3, 140, kLine - 6};
    }

    void Trace(const std::string& line) const
    {
        if (command_.view.trace)
            std::cerr << "lorvcam view: " << line << "\n" << std::flush;
    }

    void Handle(const SDL_Event& event)
    {
        switch (event.type) {
        case SDL_QUIT: closing_ = true; break;
        case SDL_MOUSEWHEEL: Zoom(event.wheel.y); break;
        case SDL_MOUSEBUTTONDOWN: Press(event.button); break;
        case SDL_MOUSEMOTION:
            if (event.motion.state & SDL_BUTTON_LMASK)
                Drag(event.motion.x, event.motion.y);
            break;
        case SDL_MOUSEBUTTONUP:
            if (event.button.button == SDL_BUTTON_LEFT) {
                Drag(event.button.x, event.button.y);
                grab_ = Grab::None;
            }
            break;
        case SDL_KEYDOWN: Key(event.key.keysym); break;
        default: break;
        }
    }

    void Zoom(int steps)
    {
        if (steps != 0)
            camera_.Ask([&](ViewRequests& r) { r.zoomSteps += steps; });
    }

    enum class Grab { None, Picture, Map, Slider };

    void Press(const SDL_MouseButtonEvent& button)
    {
        if (button.button != SDL_BUTTON_LEFT)
            return;
        grabX_ = button.x, grabY_ = button.y;
        grabState_ = camera_.State();
        grab_ = Grab::None;
        if (PictureRect().Contains(button.x, button.y))
            grab_ = Grab::Picture;
        if (MapRect().Contains(button.x, button.y))
            grab_ = Grab::Map;
        for (int control = 0; control < 4; ++control)
            if (SliderRect(control).Contains(button.x, button.y))
                grab_ = Grab::Slider, grabControl_ = control;
        Drag(button.x, button.y);
    }

    // The picture follows the mouse, as a sheet under the hand does: a drag to the right
    // moves the window over the source to the left.
    void Drag(int x, int y)
    {
        const ViewState& s = grabState_;
        const Rect map = MapRect();
        if (grab_ == Grab::Picture && s.windowWidth > 0 && s.windowHeight > 0) {
            const long dx = static_cast<long>(x - grabX_) * s.windowWidth * kMap.x /
                            (static_cast<long>(format_.ShownWidth()) * s.sourceWidth);
            const long dy = static_cast<long>(y - grabY_) * s.windowHeight * kMap.y /
                            (static_cast<long>(format_.ShownHeight()) * s.sourceHeight);
            Pan({s.panCenter.x - static_cast<int>(dx), s.panCenter.y - static_cast<int>(dy)});
        } else if (grab_ == Grab::Map) {
            Pan({std::clamp(x - map.x, 0, kMap.x), std::clamp(y - map.y, 0, kMap.y)});
        } else if (grab_ == Grab::Slider) {
            const Rect bar = SliderRect(grabControl_);
            const int level = LevelMin(grabControl_) + std::clamp(x - bar.x, 0, bar.w) * 255 / bar.w;
            SetPicture(grabControl_, ToByte(grabControl_, level));
        }
    }

    void Pan(Point center)
    {
        camera_.Ask([&](ViewRequests& r) { r.panCenter = center; });
    }

    void SetPicture(int control, int byte)
    {
        wanted_[control] = byte;
        camera_.Ask([&](ViewRequests& r) { r.picture[control] = byte; });
    }

    void StepPicture(int control, int steps)
    {
        const int byte = wanted_[control].value_or(camera_.State().picture[control]);
        SetPicture(control, ToByte(control, ToLevel(control, byte) + steps * kPictureStep));
    }

    void ChangeFormat(ViewFormat format)
    {
        format_ = format;
        DropTextures();
        SDL_SetWindowSize(window_, WindowWidth(format_), WindowHeight(format_));
        picture_ = {};
        camera_.Ask([&](ViewRequests& r) { r.format = format; });
    }

    void Key(const SDL_Keysym& key)
    {
        const bool shift = (key.mod & KMOD_SHIFT) != 0;
        const int sign = shift ? 1 : -1;
        const ViewState s = camera_.State();
        const int panStepX = std::max(1, (s.panRight - s.panLeft) / 4), panStepY = std::max(1, (s.panBottom - s.panTop) / 4);
        ViewFormat format = format_;
        switch (key.sym) {
        case SDLK_ESCAPE:
        case SDLK_q: closing_ = true; break;
        case SDLK_PLUS:
        case SDLK_KP_PLUS:
        case SDLK_EQUALS: Zoom(1); break;
        case SDLK_MINUS:
        case SDLK_KP_MINUS: Zoom(-1); break;
        case SDLK_LEFT: Pan({s.panCenter.x - panStepX, s.panCenter.y}); break;
        case SDLK_RIGHT: Pan({s.panCenter.x + panStepX, s.panCenter.y}); break;
        case SDLK_UP: Pan({s.panCenter.x, s.panCenter.y - panStepY}); break;
        case SDLK_DOWN: Pan({s.panCenter.x, s.panCenter.y + panStepY}); break;
        case SDLK_b: StepPicture(0, sign); break;
        case SDLK_c: StepPicture(1, sign); break;
        case SDLK_a: StepPicture(2, sign); break;
        case SDLK_h: StepPicture(3, sign); break;
        case SDLK_0:
            for (int control = 0; control < 4; ++control)
                SetPicture(control, initial_[control]);
            break;
        case SDLK_m:
            format.mode = (format.mode + (shift ? 4 : 1)) % 5;
            ChangeFormat(format);
            break;
        case SDLK_1:
        case SDLK_2:
        case SDLK_3:
            format.width = kSizes[key.sym - SDLK_1].width;
            format.height = kSizes[key.sym - SDLK_1].height;
            ChangeFormat(format);
            break;
        case SDLK_d:
            format.bits = format.bits == 24 ? 16 : 24;
            ChangeFormat(format);
            break;
        case SDLK_x:
            format.doubleSize = !format.doubleSize;
            ChangeFormat(format);
            break;
        case SDLK_s: Save(); break;
        case SDLK_r: camera_.Ask([](ViewRequests& r) { r.reconnect = true; }); break;
        default: break;
        }
    }

    void Save()
    {
        if (picture_.pixels.empty() || !(picture_.shows.format == format_))
            return;
        const ViewFormat& f = picture_.shows.format;
        try {
            std::filesystem::create_directories(command_.view.snapshots);
            std::filesystem::path path;
            do {
                char name[32];
                std::snprintf(name, sizeof name, "lorvcam-%04d.png", ++saved_);
                path = command_.view.snapshots / name;
            } while (std::filesystem::exists(path));
            WritePng(path, FromLibraryImage(picture_.pixels, f.ShownWidth(), f.ShownHeight(), f.bits));
            notice_ = "saved " + path.string();
        } catch (const std::exception& error) {
            notice_ = std::string("not saved: ") + error.what();
        }
        noticeUntil_ = Clock::now() + std::chrono::seconds(4);
        Trace(notice_);
    }

    void DropTextures()
    {
        if (texture_)
            SDL_DestroyTexture(texture_);
        if (overview_)
            SDL_DestroyTexture(overview_);
        texture_ = overview_ = nullptr;
    }

    SDL_Texture* MakeTexture(const ViewFormat& f)
    {
        // The library's 16-bit words hold red in the low bits: SDL's XBGR1555 as it stands.
        const Uint32 pixelFormat = f.bits == 16 ? SDL_PIXELFORMAT_XBGR1555 : SDL_PIXELFORMAT_RGB24;
        return SDL_CreateTexture(renderer_, pixelFormat, SDL_TEXTUREACCESS_STREAMING, f.ShownWidth(),
                                 f.ShownHeight());
    }

    void NewPicture()
    {
        const ViewFormat& f = picture_.shows.format;
        if (!(f == format_) || picture_.pixels.empty())
            return;  // taken before the new format reached the camera
        if (!initialTaken_) {
            initial_ = picture_.shows.picture;
            initialTaken_ = true;
        }
        if (!texture_)
            texture_ = MakeTexture(f);
        const int pitch = static_cast<int>(LibraryRowStride(f.ShownWidth(), f.bits));
        SDL_UpdateTexture(texture_, nullptr, picture_.pixels.data(), pitch);
        // The overview map keeps the last picture of the whole source.
        if (picture_.shows.zoom == picture_.shows.zoomMin) {
            if (!overview_)
                overview_ = MakeTexture(f);
            SDL_UpdateTexture(overview_, nullptr, picture_.pixels.data(), pitch);
        }
        rate_.Shown();
        tracePending_ = true;
    }

    void Text(const std::string& text, int x, int y, SDL_Color colour = {220, 220, 220, 255})
    {
        if (!font_ || text.empty())
            return;
        SDL_Surface* surface = TTF_RenderUTF8_Blended(font_, text.c_str(), colour);
        if (!surface)
            return;
        SDL_Texture* texture = SDL_CreateTextureFromSurface(renderer_, surface);
        const SDL_Rect where{x, y, surface->w, surface->h};
        SDL_FreeSurface(surface);
        if (texture) {
            SDL_RenderCopy(renderer_, texture, nullptr, &where);
            SDL_DestroyTexture(texture);
        }
    }

    void Fill(const Rect& r, SDL_Color c)
    {
        SDL_SetRenderDrawColor(renderer_, c.r, c.g, c.b, c.a);
        const SDL_Rect rect = r.Sdl();
        SDL_RenderFillRect(renderer_, &rect);
    }

    void Draw()
    {
        const ViewState s = camera_.State();
        SDL_SetRenderDrawColor(renderer_, 30, 30, 34, 255);
        SDL_RenderClear(renderer_);
        const SDL_Rect picture = PictureRect().Sdl();
        if (texture_)
            SDL_RenderCopyEx(renderer_, texture_, nullptr, &picture, 0, nullptr, SDL_FLIP_VERTICAL);  // rows bottom-up
        DrawMap(s);
        DrawPanel(s);
        DrawStatus(s);
        SDL_RenderPresent(renderer_);
        SDL_SetWindowTitle(window_, ("lorvcam view - " + Describe(s)).c_str());
    }

    void DrawMap(const ViewState& s)
    {
        const Rect map = MapRect();
        const SDL_Rect area = map.Sdl();
        Fill(map, {0, 0, 0, 255});
        if (overview_)
            SDL_RenderCopyEx(renderer_, overview_, nullptr, &area, 0, nullptr, SDL_FLIP_VERTICAL);
        const SDL_Rect view{map.x + s.panLeft, map.y + s.panTop, s.panRight - s.panLeft, s.panBottom - s.panTop};
        SDL_SetRenderDrawColor(renderer_, 255, 220, 0, 255);
        SDL_RenderDrawRect(renderer_, &view);
    }

    void DrawPanel(const ViewState& s)
    {
        const int x = format_.ShownWidth() + 10;
        int y = MapRect().y + kMap.y + 8;
        char rate[96];
        if (s.libraryFps || s.libraryHundredths)
            std::snprintf(rate, sizeof rate, "camera %d.%02d fps, window %.1f", s.libraryFps, s.libraryHundredths,
                          rate_.PerSecond());
        else
            std::snprintf(rate, sizeof rate, "window %.1f fps (camera: at 101)", rate_.PerSecond());
        Text(rate, x, y);
        Text(std::to_string(s.format.width) + "x" + std::to_string(s.format.height) + " mode " +
                 std::to_string(s.format.mode) + " " + std::to_string(s.format.bits) + "-bit" +
                 (s.format.doubleSize ? " x2" : ""),
             x, y += kLine);
        Text("zoom " + std::to_string(s.zoom) + " of " + std::to_string(s.zoomMin) + " to " + std::to_string(s.zoomMax),
             x, y += kLine);
        for (int control = 0; control < 4; ++control) {
            const Rect bar = SliderRect(control);
            Text(std::string(kPictureNames[control]), x, bar.y - 3);
            Fill(bar, {70, 70, 78, 255});
            const int level = ToLevel(control, s.picture[control]) - LevelMin(control);
            Fill({bar.x, bar.y, bar.w * level / 255, bar.h}, {90, 160, 230, 255});
        }
        y = SliderRect(3).y + kLine + 4;
        for (const char* line : kKeys)
            Text(line, x, y += kLine - 2, {160, 160, 170, 255});
    }

    void DrawStatus(const ViewState& s)
    {
        int width = 0, height = 0;
        SDL_GetWindowSize(window_, &width, &height);
        const Rect line{0, height - kStatusHeight, width, kStatusHeight};
        if (!s.error.empty()) {
            Fill(line, {150, 30, 30, 255});
            Text(s.error, 4, line.y + 2, {255, 255, 255, 255});
            if (s.error != tracedError_)
                Trace("error: " + s.error);
            tracedError_ = s.error;
        } else if (Clock::now() < noticeUntil_) {
            Text(notice_, 4, line.y + 2);
        }
    }

    const Command& command_;
    ViewCamera& camera_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    SDL_Texture* overview_ = nullptr;
    TTF_Font* font_ = nullptr;
    ViewFormat format_;
    ViewPicture picture_;
    RateMeter rate_;
    bool closing_ = false;
    bool tracePending_ = false;
    Grab grab_ = Grab::None;
    int grabX_ = 0, grabY_ = 0, grabControl_ = 0;
    ViewState grabState_;
    std::array<std::optional<int>, 4> wanted_;
    std::array<int, 4> initial_{};
    bool initialTaken_ = false;
    int saved_ = 0;
    std::string notice_, tracedError_;
    Clock::time_point noticeUntil_;
};

}  // namespace

int RunView(const Command& command)
{
    ViewCamera camera(command, kMap);
    int status = 0;
    try {
        Window window(command, camera);
        window.Run();
    } catch (const std::exception& error) {
        std::cerr << "lorvcam: " << error.what() << "\n";
        status = 1;
    }
    camera.Close();
    if (!camera.FatalError().empty()) {
        std::cerr << "lorvcam: " << camera.FatalError() << "\n";
        return 1;
    }
    const std::size_t left = camera.BlocksLeft();
    if (command.view.trace || left != 0)
        std::cerr << "lorvcam view: closed after " << camera.PicturesCaptured() << " pictures; the library holds "
                  << left << " memory blocks\n";
    return left == 0 ? status : 1;
}

}  // namespace lorvcam
