#include "CameraClip.h"

#include "tools/media/I420Picture.h"

#include <cmath>
#include <cstring>
#include <random>

namespace bench {

void MakeCameraClip(CameraClip& clip) {
    const int w = clip.width, h = clip.height, frames = clip.frames;
    const int tw = w + 2 * frames, th = h + frames;
    std::vector<uint8_t> noise(size_t(tw) * th), texture(size_t(tw) * th);
    std::mt19937 random(1);
    for (auto& b : noise)
        b = uint8_t(random());
    for (int y = 1; y < th - 1; ++y)
        for (int x = 1; x < tw - 1; ++x) {
            int sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    sum += noise[size_t(y + dy) * tw + x + dx];
            texture[size_t(y) * tw + x] = uint8_t(40 + sum / 9 * 160 / 255);
        }

    media::CH264Encoder::Settings settings;
    settings.width = w;
    settings.height = h;
    settings.frameRate = clip.frameRate;
    settings.slices = 4;
    settings.keyInterval = 2 * clip.frameRate;
    settings.bitRate = clip.bitRate;
    settings.threads = 2;
    settings.preset = clip.preset;
    media::CH264Encoder maker(settings);
    clip.packets.clear();
    if (!maker.Ok())
        return;
    std::vector<uint8_t> picture(media::I420Size(w, h));
    for (int i = 0; i < frames; ++i) {
        uint8_t* y = picture.data();
        for (int row = 0; row < h; ++row)
            std::memcpy(y + size_t(row) * w, &texture[size_t(row + i) * tw + 2 * i], size_t(w));
        uint8_t* u = y + size_t(w) * h;
        uint8_t* v = u + size_t(w / 2) * (h / 2);
        for (int row = 0; row < h / 2; ++row)
            for (int x = 0; x < w / 2; ++x) {
                u[size_t(row) * (w / 2) + x] = uint8_t(128 + 50 * std::sin((x + 3 * i) / 41.0));
                v[size_t(row) * (w / 2) + x] = uint8_t(128 + 50 * std::cos((row - 2 * i) / 29.0));
            }
        media::CMediaPacket packet = maker.Encode(picture, i == 0);
        if (packet.data.empty())
            return;
        clip.packets.push_back(std::move(packet));
    }
}

} // namespace bench
