// tamblit-wavplot: draws a rendered WAV file as a PNG picture and tells which
// plug-in played when (see SignalAnalysis.h): the waveform is coloured by
// source, with the crash time and the takeover marked.
#include "BitmapFont.h"
#include "SignalAnalysis.h"

#include <png.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Rgb {
    unsigned char r, g, b;
};

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kInk{30, 30, 30};
constexpr Rgb kGrid{225, 225, 225};
constexpr Rgb kSilenceColour{190, 190, 190};
constexpr Rgb kUnknownColour{90, 90, 90};
constexpr Rgb kCrashColour{210, 30, 30};
constexpr Rgb kTakeoverColour{20, 150, 60};
constexpr Rgb kSourceColours[] = {{40, 90, 200}, {235, 125, 20}, {140, 60, 170}, {0, 150, 150}};

class Canvas {
public:
    Canvas(int width, int height) : width_(width), height_(height), pixels_(static_cast<size_t>(width * height * 3), 255) {}

    int width() const { return width_; }
    int height() const { return height_; }

    void set(int x, int y, Rgb c)
    {
        if (x < 0 || y < 0 || x >= width_ || y >= height_)
            return;
        auto* p = &pixels_[static_cast<size_t>((y * width_ + x) * 3)];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }

    void fill(int x0, int y0, int x1, int y1, Rgb c)
    {
        for (int y = std::max(0, y0); y < std::min(height_, y1); ++y)
            for (int x = std::max(0, x0); x < std::min(width_, x1); ++x)
                set(x, y, c);
    }

    void vline(int x, int y0, int y1, Rgb c, int thickness = 1) { fill(x, std::min(y0, y1), x + thickness, std::max(y0, y1) + 1, c); }

    // Returns the width drawn.
    int text(int x, int y, const std::string& s, Rgb c, int scale = 2)
    {
        int cx = x;
        for (char ch : s) {
            if (const auto* glyph = render::findGlyph(ch)) {
                for (int row = 0; row < 7; ++row)
                    for (int col = 0; col < 5; ++col)
                        if (glyph->rows[row][col] == '#')
                            fill(cx + col * scale, y + row * scale, cx + (col + 1) * scale, y + (row + 1) * scale, c);
            }
            cx += 6 * scale;
        }
        return cx - x;
    }

    static int textWidth(const std::string& s, int scale = 2) { return static_cast<int>(s.size()) * 6 * scale; }

    bool write(const std::string& path) const
    {
        png_image image;
        std::memset(&image, 0, sizeof(image));
        image.version = PNG_IMAGE_VERSION;
        image.width = static_cast<png_uint_32>(width_);
        image.height = static_cast<png_uint_32>(height_);
        image.format = PNG_FORMAT_RGB;
        return png_image_write_to_file(&image, path.c_str(), 0, pixels_.data(), width_ * 3, nullptr) != 0;
    }

private:
    int width_;
    int height_;
    std::vector<unsigned char> pixels_;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "tamblit-wavplot: error: %s\n", message.c_str());
    return 1;
}

std::string seconds(double s)
{
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%.2f s", s);
    return buffer;
}

const char* usage = "usage: tamblit-wavplot IN.wav OUT.png [--block N] [--source NAME=FINGERPRINT]...\n"
                    "                       [--crash SECONDS] [--takeover NAME] [--title TEXT]\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return fail(std::string("missing arguments\n") + usage);
    const std::string inPath = argv[1];
    const std::string outPath = argv[2];
    int block = 256;
    std::vector<render::SignalSource> sources;
    std::optional<double> crashAt;
    std::string takeoverName;
    std::string title = "tamblit-render output";

    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return fail(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--block") {
            block = std::atoi(value.c_str());
            if (block < 1)
                return fail("--block wants a positive size");
        } else if (arg == "--source") {
            const auto eq = value.find('=');
            if (eq == std::string::npos || eq == 0)
                return fail("--source wants NAME=FINGERPRINT");
            sources.push_back({value.substr(0, eq), std::atof(value.c_str() + eq + 1)});
        } else if (arg == "--crash") {
            crashAt = std::atof(value.c_str());
        } else if (arg == "--takeover") {
            takeoverName = value;
        } else if (arg == "--title") {
            title = value;
        } else {
            return fail("unknown argument '" + arg + "'\n" + usage);
        }
    }

    SF_INFO info{};
    SNDFILE* file = sf_open(inPath.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return fail("cannot read " + inPath + ": " + sf_strerror(nullptr));
    if (info.channels < 1 || info.frames < 1) {
        sf_close(file);
        return fail(inPath + " holds no audio");
    }
    std::vector<float> interleaved(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    const size_t frames = static_cast<size_t>(got);
    std::vector<float> ch0(frames), ch1(frames);
    for (size_t i = 0; i < frames; ++i) {
        ch0[i] = interleaved[i * static_cast<size_t>(info.channels)];
        ch1[i] = interleaved[i * static_cast<size_t>(info.channels) + (info.channels > 1 ? 1 : 0)];
    }
    const double rate = info.samplerate;
    const double duration = static_cast<double>(frames) / rate;

    const auto labels = render::classifyBlocks(ch0, ch1, block, sources);
    auto nameOf = [&](int label) -> std::string {
        if (label == render::kSilent)
            return "silence";
        if (label == render::kUnknown)
            return "sound";
        return sources[static_cast<size_t>(label)].name;
    };
    auto blockTime = [&](long long b) { return static_cast<double>(b * block) / rate; };

    std::printf("%s: %.3f s, %d Hz, %d channels\n", inPath.c_str(), duration, info.samplerate, info.channels);
    for (const auto& segment : render::segmentsOf(labels))
        std::printf("  %8.3f - %8.3f s  %s\n", blockTime(segment.firstBlock),
                    std::min(duration, blockTime(segment.endBlock)), nameOf(segment.source).c_str());

    std::optional<double> takeoverAt;
    if (crashAt && !takeoverName.empty()) {
        int target = render::kUnknown;
        for (size_t s = 0; s < sources.size(); ++s)
            if (sources[s].name == takeoverName)
                target = static_cast<int>(s);
        if (target == render::kUnknown)
            return fail("--takeover names no --source: " + takeoverName);
        const auto crashBlock = static_cast<long long>(std::floor(*crashAt * rate / block));
        const long long first = render::firstBlockOf(labels, target, crashBlock);
        if (first < 0) {
            std::printf("after the crash at %.3f s, %s is never heard\n", *crashAt, takeoverName.c_str());
        } else {
            takeoverAt = blockTime(first);
            std::printf("after the crash at %.3f s, %s is first heard in the block at %.3f s (%.0f ms later)\n", *crashAt,
                        takeoverName.c_str(), *takeoverAt, (*takeoverAt - *crashAt) * 1000.0);
        }
    }

    // Layout: title, waveform panel, source strip, time axis, legend.
    Canvas canvas(1400, 560);
    const int left = 70, right = canvas.width() - 30;
    const int waveTop = 100, waveBottom = 400;
    const int stripTop = 415, stripBottom = 440;
    const int plotWidth = right - left;
    auto xOf = [&](double t) { return left + static_cast<int>(std::lround(t / duration * plotWidth)); };

    canvas.text(left, 20, title, kInk, 3);

    float peak = 0.0f;
    for (size_t i = 0; i < frames; ++i)
        peak = std::max({peak, std::fabs(ch0[i]), std::fabs(ch1[i])});
    const float scale = peak > 0.0f ? 1.0f / peak : 1.0f;
    const int mid = (waveTop + waveBottom) / 2;
    const int half = (waveBottom - waveTop) / 2 - 4;

    for (int s = 0; s <= static_cast<int>(duration); ++s)
        canvas.vline(xOf(s), waveTop, waveBottom, kGrid);
    canvas.fill(left, mid, right, mid + 1, kGrid);

    // Each column shows the signal's range over a window of at least 20 ms,
    // so that low notes draw as a solid envelope rather than as stripes.
    const auto window = static_cast<size_t>(rate * 0.02);
    for (int x = 0; x < plotWidth; ++x) {
        const auto from = static_cast<size_t>(static_cast<double>(x) / plotWidth * static_cast<double>(frames));
        const auto to = std::max(from + 1, static_cast<size_t>(static_cast<double>(x + 1) / plotWidth * static_cast<double>(frames)));
        const size_t centre = (from + to) / 2;
        const size_t span = std::max(to - from, window);
        // The window never crosses a block whose source differs from this column's.
        const size_t blockStart = from / static_cast<size_t>(block) * static_cast<size_t>(block);
        const size_t lower = std::max(blockStart, centre > span / 2 ? centre - span / 2 : 0);
        const size_t upper = std::min(frames, std::max(to, centre + span / 2));
        float lo = 0.0f, hi = 0.0f;
        for (size_t i = lower; i < upper; ++i) {
            const int here = labels[std::min(labels.size() - 1, i / static_cast<size_t>(block))];
            if (here != labels[std::min(labels.size() - 1, from / static_cast<size_t>(block))])
                break;
            lo = std::min(lo, ch0[i]);
            hi = std::max(hi, ch0[i]);
        }
        const int label = labels[std::min(labels.size() - 1, from / static_cast<size_t>(block))];
        const Rgb colour = label >= 0 ? kSourceColours[label % 4] : (label == render::kSilent ? kSilenceColour : kUnknownColour);
        const int y0 = mid - static_cast<int>(std::lround(hi * scale * half));
        const int y1 = mid - static_cast<int>(std::lround(lo * scale * half));
        canvas.vline(left + x, y0, y1, colour);
        canvas.fill(left + x, stripTop, left + x + 1, stripBottom, colour);
    }
    canvas.text(8, stripTop + 6, "PLAYS", kInk, 2);

    for (int s = 0; s <= static_cast<int>(duration); ++s) {
        canvas.vline(xOf(s), stripBottom, stripBottom + 6, kInk);
        const std::string label = std::to_string(s) + " s";
        canvas.text(xOf(s) - Canvas::textWidth(label) / 2, stripBottom + 12, label, kInk, 2);
    }

    if (crashAt) {
        const int x = xOf(*crashAt);
        canvas.vline(x - 1, waveTop - 10, stripBottom, kCrashColour, 3);
        const std::string label = "CRASH " + seconds(*crashAt);
        canvas.text(x - Canvas::textWidth(label) - 8, waveTop - 24, label, kCrashColour, 2);
    }
    if (takeoverAt) {
        const int x = xOf(*takeoverAt);
        canvas.vline(x - 1, waveTop - 10, stripBottom, kTakeoverColour, 3);
        canvas.text(x + 8, waveTop - 24, takeoverName + " FROM " + seconds(*takeoverAt), kTakeoverColour, 2);
    }

    // Legend.
    int lx = left;
    const int ly = canvas.height() - 40;
    for (size_t s = 0; s < sources.size(); ++s) {
        canvas.fill(lx, ly, lx + 24, ly + 14, kSourceColours[s % 4]);
        lx += 32 + canvas.text(lx + 32, ly, sources[s].name, kInk, 2) + 30;
    }
    canvas.fill(lx, ly, lx + 24, ly + 14, kSilenceColour);
    lx += 32 + canvas.text(lx + 32, ly, "SILENCE", kInk, 2) + 30;
    if (std::find(labels.begin(), labels.end(), render::kUnknown) != labels.end() || sources.empty()) {
        canvas.fill(lx, ly, lx + 24, ly + 14, kUnknownColour);
        canvas.text(lx + 32, ly, sources.empty() ? "SOUND" : "OTHER SOUND", kInk, 2);
    }

    if (!canvas.write(outPath))
        return fail("cannot write " + outPath);
    std::printf("wrote %s\n", outPath.c_str());
    return 0;
}
