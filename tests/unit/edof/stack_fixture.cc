#include "stack_fixture.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace zentri_native {
namespace testing_support {

Stack Stack::Identity(int32_t width, int32_t height, int n) {
  Stack s;
  s.width = width;
  s.height = height;
  for (int k = 0; k < n; ++k) {
    s.rgba.emplace_back(static_cast<size_t>(width) * height * 4, 0);
    for (size_t i = 3; i < s.rgba.back().size(); i += 4) {
      s.rgba.back()[i] = 255;
    }
    s.scale.push_back(1.0);
    s.mapWidth.push_back(0);
    s.mapHeight.push_back(0);
    s.x.emplace_back();
    s.y.emplace_back();
    s.confidence.emplace_back();
    s.weight.emplace_back();
    s.accepted.push_back(true);
    s.SetMap(k, width, height);
  }
  return s;
}

void Stack::SetMap(int k, int32_t mw, int32_t mh) {
  mapWidth[k] = mw;
  mapHeight[k] = mh;
  const size_t cells = static_cast<size_t>(mw) * mh;
  x[k].resize(cells);
  y[k].resize(cells);
  confidence[k].assign(cells, 1.0f);
  weight[k].assign(cells, 1.0f);
  for (int32_t j = 0; j < mh; ++j) {
    for (int32_t i = 0; i < mw; ++i) {
      x[k][static_cast<size_t>(j) * mw + i] = static_cast<float>(i);
      y[k][static_cast<size_t>(j) * mw + i] = static_cast<float>(j);
    }
  }
}

void Stack::Fill(int k, uint8_t r, uint8_t g, uint8_t b) {
  for (size_t i = 0; i < rgba[k].size(); i += 4) {
    rgba[k][i] = r;
    rgba[k][i + 1] = g;
    rgba[k][i + 2] = b;
  }
}

std::vector<FrameView> Stack::Frames() const {
  std::vector<FrameView> views;
  for (size_t k = 0; k < rgba.size(); ++k) {
    views.push_back(FrameView{rgba[k].data(), scale[k]});
  }
  return views;
}

std::vector<FieldView> Stack::Fields() const {
  std::vector<FieldView> views;
  for (size_t k = 0; k < rgba.size(); ++k) {
    views.push_back(FieldView{mapWidth[k], mapHeight[k], x[k].data(), y[k].data(),
                              confidence[k].data(), static_cast<bool>(accepted[k])});
  }
  return views;
}

std::vector<const float*> Stack::Weights() const {
  std::vector<const float*> views;
  for (const auto& w : weight) {
    views.push_back(w.data());
  }
  return views;
}

std::vector<uint8_t> Stack::Fuse(unsigned threads, const char* simd) const {
  return zentri_native::Fuse(width, height, referenceIndex, Frames(), Fields(), Weights(), threads,
                             simd);
}

Stack RandomStack(std::mt19937& rng, int32_t width, int32_t height, int n) {
  Stack s = Stack::Identity(width, height, n);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int k = 0; k < n; ++k) {
    for (size_t i = 0; i < s.rgba[k].size(); ++i) {
      const size_t p = i / 4;
      const double wave = std::sin(0.3 * (p % width) + 0.7 * k) * std::cos(0.2 * (p / width));
      s.rgba[k][i] =
          static_cast<uint8_t>(std::clamp(128 + 100 * wave + 40 * unit(rng), 0.0, 255.0));
    }
    // Maps at full, reduced and enlarged resolution. Frame 1 moves by whole pixels at full
    // resolution and scale 1, so its samples fall on pixel centres.
    const bool whole = k == 1;
    const int32_t mw = std::max(1, static_cast<int32_t>(width * (0.4 + 0.8 * unit(rng))));
    const int32_t mh = std::max(1, static_cast<int32_t>(height * (0.4 + 0.8 * unit(rng))));
    s.SetMap(k, k <= 1 ? width : mw, k <= 1 ? height : mh);
    const double shiftX = whole ? 1 : 3 * (unit(rng) - 0.5);
    const double shiftY = whole ? -2 : 3 * (unit(rng) - 0.5);
    for (size_t c = 0; c < s.x[k].size(); ++c) {
      s.x[k][c] += static_cast<float>(shiftX + (whole ? 0 : 0.5 * std::sin(0.05 * c)));
      s.y[k][c] += static_cast<float>(shiftY + (whole ? 0 : 0.5 * std::cos(0.03 * c)));
      s.confidence[k][c] = static_cast<float>(unit(rng) < 0.03 ? 0.01 : 0.02 + unit(rng));
      s.weight[k][c] = static_cast<float>(unit(rng) < 0.05 ? 0.0 : 10 * unit(rng));
      const double fault = unit(rng);
      if (fault < 0.005) {
        s.x[k][c] = std::numeric_limits<float>::quiet_NaN();
      } else if (fault < 0.01) {
        s.y[k][c] = std::numeric_limits<float>::infinity();
      } else if (fault < 0.015) {
        s.confidence[k][c] = -std::numeric_limits<float>::infinity();
      }
    }
    s.scale[k] = whole ? 1.0 : 0.97 + 0.06 * unit(rng);
  }
  s.accepted[n - 1] = false;
  s.referenceIndex = n / 2;
  return s;
}

namespace {

using Image = std::vector<float>;  // channels interleaved

struct RefLevel {
  int32_t w = 0, h = 0;
  Image rgb, weight;
};

double Interp(const float* m, int32_t mw, int32_t x0, int32_t x1, int32_t y0, int32_t y1, double fx,
              double fy) {
  const double c00 = m[static_cast<size_t>(y0) * mw + x0];
  const double c10 = m[static_cast<size_t>(y0) * mw + x1];
  const double c01 = m[static_cast<size_t>(y1) * mw + x0];
  const double c11 = m[static_cast<size_t>(y1) * mw + x1];
  return ((c10 - c00) * fx + c00) * (1 - fy) + ((c11 - c01) * fx + c01) * fy;
}

float Clamped(const float* m, int32_t w, int32_t h, double x, double y) {
  x = std::min(x, w - 1.0);
  y = std::min(y, h - 1.0);
  int32_t x0 = 0, y0 = 0;
  double fx = 0, fy = 0;
  if (x > 0) {
    x0 = static_cast<int32_t>(std::floor(x));
    fx = x - x0;
  }
  if (y > 0) {
    y0 = static_cast<int32_t>(std::floor(y));
    fy = y - y0;
  }
  return static_cast<float>(
      Interp(m, w, x0, std::min(x0 + 1, w - 1), y0, std::min(y0 + 1, h - 1), fx, fy));
}

template <typename T>
void Bilinear3(const T* src, int32_t sw, int32_t stride, int32_t x0, int32_t x1, int32_t y0,
               int32_t y1, double fx, double fy, float* out) {
  const double w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
  const size_t taps[4] = {
      (static_cast<size_t>(y0) * sw + x0) * stride, (static_cast<size_t>(y0) * sw + x1) * stride,
      (static_cast<size_t>(y1) * sw + x0) * stride, (static_cast<size_t>(y1) * sw + x1) * stride};
  for (int c = 0; c < 3; ++c) {
    float sum = 0;
    for (int t = 0; t < 4; ++t) {
      sum = static_cast<float>(sum + w[t] * static_cast<double>(src[taps[t] + c]));
    }
    out[c] = sum;
  }
}

Image Upsample(const Image& src, int32_t sw, int32_t sh, int32_t dw, int32_t dh) {
  Image out(static_cast<size_t>(dw) * dh * 3);
  const auto axis = [](int32_t d, int32_t sn, int32_t dn, int32_t* i0, int32_t* i1, double* f) {
    const double s = (d + 0.5) * sn / dn - 0.5;
    *i0 = std::min(sn - 1, static_cast<int32_t>(std::floor(s)));
    if (*i0 < 1) {
      *i0 = 0;
      *i1 = 1;
      *f = s;
    } else {
      *f = s - *i0;
      *i1 = *i0 + 1;
    }
    *i1 = std::min(*i1, sn - 1);
    *f = std::clamp(*f, 0.0, 1.0);
  };
  for (int32_t y = 0; y < dh; ++y) {
    for (int32_t x = 0; x < dw; ++x) {
      int32_t x0, x1, y0, y1;
      double fx, fy;
      axis(y, sh, dh, &y0, &y1, &fy);
      axis(x, sw, dw, &x0, &x1, &fx);
      Bilinear3(src.data(), sw, 3, x0, x1, y0, y1, fx, fy,
                &out[(static_cast<size_t>(y) * dw + x) * 3]);
    }
  }
  return out;
}

RefLevel Down(const RefLevel& s) {
  RefLevel d;
  d.w = s.w < 3 ? 1 : (s.w + 1) / 2;
  d.h = s.h < 3 ? 1 : (s.h + 1) / 2;
  d.rgb.resize(static_cast<size_t>(d.w) * d.h * 3);
  d.weight.resize(static_cast<size_t>(d.w) * d.h);
  for (int32_t oy = 0; oy < d.h; ++oy) {
    for (int32_t ox = 0; ox < d.w; ++ox) {
      double sum[4] = {0, 0, 0, 0};
      int n = 0;
      const int32_t xs[4] = {2 * ox, 2 * ox + 1, 2 * ox, 2 * ox + 1};
      const int32_t ys[4] = {2 * oy, 2 * oy, 2 * oy + 1, 2 * oy + 1};
      for (int t = 0; t < 4; ++t) {
        if (xs[t] < s.w && ys[t] < s.h) {
          const size_t i = static_cast<size_t>(ys[t]) * s.w + xs[t];
          for (int c = 0; c < 3; ++c) {
            sum[c] += s.rgb[3 * i + c];
          }
          sum[3] += s.weight[i];
          ++n;
        }
      }
      const size_t o = static_cast<size_t>(oy) * d.w + ox;
      for (int c = 0; c < 3; ++c) {
        d.rgb[3 * o + c] = static_cast<float>(sum[c] / n);
      }
      d.weight[o] = static_cast<float>(sum[3] / n);
    }
  }
  return d;
}

bool Finite(float v) {
  return std::fabs(v) <= FLT_MAX;
}

}  // namespace

std::vector<uint8_t> ReferenceFuse(const Stack& st) {
  const int32_t w = st.width, h = st.height;
  const size_t n = st.rgba.size();
  std::vector<std::pair<int32_t, int32_t>> sizes{{w, h}};
  while (sizes.size() < 4 && sizes.back().first >= 65 && sizes.back().second >= 37) {
    sizes.emplace_back((sizes.back().first + 1) / 2, (sizes.back().second + 1) / 2);
  }
  const size_t levels = sizes.size();
  std::vector<Image> accRgb(levels), accW(levels);
  for (size_t l = 0; l < levels; ++l) {
    accRgb[l].assign(static_cast<size_t>(sizes[l].first) * sizes[l].second * 3, 0.0f);
    accW[l].assign(static_cast<size_t>(sizes[l].first) * sizes[l].second, 0.0f);
  }
  Image sum(static_cast<size_t>(w) * h, 0.0f);
  for (size_t k = 0; k < n; ++k) {
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const double sx = (x + 0.5) * st.mapWidth[k] / w - 0.5;
        const double sy = (y + 0.5) * st.mapHeight[k] / h - 0.5;
        sum[static_cast<size_t>(y) * w + x] +=
            Clamped(st.weight[k].data(), st.mapWidth[k], st.mapHeight[k], sx, sy);
      }
    }
  }
  const uint8_t* ref = st.rgba[st.referenceIndex].data();
  for (size_t k = 0; k < n; ++k) {
    if (!st.accepted[k]) {
      continue;
    }
    const int32_t mw = st.mapWidth[k], mh = st.mapHeight[k];
    std::vector<RefLevel> g(1);
    g[0].w = w;
    g[0].h = h;
    g[0].rgb.assign(static_cast<size_t>(w) * h * 3, 0.0f);
    g[0].weight.assign(static_cast<size_t>(w) * h, 0.0f);
    for (int32_t y = 0; y < h; ++y) {
      for (int32_t x = 0; x < w; ++x) {
        const size_t p = static_cast<size_t>(y) * w + x;
        const double sx = (x + 0.5) * mw / w - 0.5;
        const double sy = (y + 0.5) * mh / h - 0.5;
        const float sample = Clamped(st.weight[k].data(), mw, mh, sx, sy);
        const float weight =
            sum[p] > 1e-8 ? sample / sum[p] : (static_cast<int>(k) == st.referenceIndex ? 1 : 0);
        bool ok = sx >= 0 && sx <= mw - 1 && sy >= 0 && sy <= mh - 1;
        double v[3] = {0, 0, 0};
        if (ok) {
          const int32_t x0 = static_cast<int32_t>(std::floor(sx));
          const int32_t y0 = static_cast<int32_t>(std::floor(sy));
          const int32_t x1 = std::min(x0 + 1, mw - 1), y1 = std::min(y0 + 1, mh - 1);
          const float* maps[3] = {st.x[k].data(), st.y[k].data(), st.confidence[k].data()};
          for (int m = 0; m < 3 && ok; ++m) {
            const float* c = maps[m];
            ok = Finite(c[static_cast<size_t>(y0) * mw + x0]) &&
                 Finite(c[static_cast<size_t>(y0) * mw + x1]) &&
                 Finite(c[static_cast<size_t>(y1) * mw + x0]) &&
                 Finite(c[static_cast<size_t>(y1) * mw + x1]);
            if (ok) {
              v[m] = Interp(c, mw, x0, x1, y0, y1, sx - x0, sy - y0);
              ok = std::isfinite(v[m]);
            }
          }
          ok = ok && v[2] >= static_cast<double>(0.02f);
        }
        double X = 0, Y = 0;
        if (ok) {
          const double cx = (w - 1) * 0.5, cy = (h - 1) * 0.5;
          X = ((v[0] + 0.5) * w / mw - 0.5 - cx) * st.scale[k] + cx;
          Y = ((v[1] + 0.5) * h / mh - 0.5 - cy) * st.scale[k] + cy;
          ok = X >= 0 && X <= w - 1 && Y >= 0 && Y <= h - 1;
        }
        if (ok) {
          const int32_t X0 = static_cast<int32_t>(std::floor(X));
          const int32_t Y0 = static_cast<int32_t>(std::floor(Y));
          Bilinear3(st.rgba[k].data(), w, 4, X0, std::min(X0 + 1, w - 1), Y0,
                    std::min(Y0 + 1, h - 1), X - X0, Y - Y0, &g[0].rgb[3 * p]);
          g[0].weight[p] = weight;
        } else {
          for (int c = 0; c < 3; ++c) {
            g[0].rgb[3 * p + c] = ref[4 * p + c];
          }
        }
      }
    }
    while (g.size() < levels) {
      g.push_back(Down(g.back()));
    }
    for (size_t l = 0; l + 1 < levels; ++l) {
      const Image up = Upsample(g[l + 1].rgb, g[l + 1].w, g[l + 1].h, g[l].w, g[l].h);
      for (size_t i = 0; i < g[l].weight.size(); ++i) {
        const float wt = g[l].weight[i];
        for (int c = 0; c < 3; ++c) {
          accRgb[l][3 * i + c] += (g[l].rgb[3 * i + c] - up[3 * i + c]) * wt;
        }
        accW[l][i] += wt;
      }
    }
    const RefLevel& top = g[levels - 1];
    for (size_t i = 0; i < top.weight.size(); ++i) {
      for (int c = 0; c < 3; ++c) {
        accRgb[levels - 1][3 * i + c] += top.rgb[3 * i + c] * top.weight[i];
      }
      accW[levels - 1][i] += top.weight[i];
    }
  }
  for (size_t l = 0; l < levels; ++l) {
    for (size_t i = 0; i < accW[l].size(); ++i) {
      if (accW[l][i] > 1e-8) {
        for (int c = 0; c < 3; ++c) {
          accRgb[l][3 * i + c] /= accW[l][i];
        }
      }
    }
  }
  Image r = accRgb[levels - 1];
  for (size_t l = levels - 1; l-- > 0;) {
    Image up =
        Upsample(r, sizes[l + 1].first, sizes[l + 1].second, sizes[l].first, sizes[l].second);
    for (size_t j = 0; j < up.size(); ++j) {
      up[j] += accRgb[l][j];
    }
    r = std::move(up);
  }
  std::vector<uint8_t> out(static_cast<size_t>(w) * h * 4, 0);
  for (size_t p = 0; p < static_cast<size_t>(w) * h; ++p) {
    for (int c = 0; c < 3; ++c) {
      const long v = std::lroundf(r[3 * p + c]);
      out[4 * p + c] = static_cast<uint8_t>(std::clamp(v, 0L, 255L));
    }
    out[4 * p + 3] = 255;
  }
  return out;
}

}  // namespace testing_support
}  // namespace zentri_native
