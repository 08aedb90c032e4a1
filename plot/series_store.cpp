#include "plot/series_store.h"

#include "serial/codepage936.h"

#include <QDateTime>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace plot
{
namespace
{
constexpr int kBlocks = SeriesStore::kChunk / SeriesStore::kBlock;
// A finer summary under each block, for views with a column a few dozen values wide.
constexpr int kFine = 32;
constexpr int kFines = SeriesStore::kChunk / kFine;
// Whole chunks that hold kFullValues.
constexpr qint64 kWholeChunksKept =
    (SeriesStore::kFullValues + SeriesStore::kChunk - 1) / SeriesStore::kChunk;
} // namespace

struct SeriesStore::Chunk {
    qint64 firstSample = 0;
    int n = 0;
    quint32 t[kChunk];
    float v[kChunk];
    float min[kBlocks];
    float max[kBlocks];
    float fineMin[kFines];
    float fineMax[kFines];
};

SeriesStore::SeriesStore(qint64 startMs) : m_startMs(startMs) {}
SeriesStore::~SeriesStore() = default;

void SeriesStore::clear()
{
    m_series.clear();
    m_index.clear();
    m_hints.clear();
    m_beyond = m_fullValues = m_wholeChunks = 0;
    m_folded = false;
}

void SeriesStore::add(quint32 ms, const Reading *readings, std::size_t n)
{
    if (m_hints.size() < n)
        m_hints.resize(n, -1);
    for (std::size_t k = 0; k < n; ++k) {
        const Reading &r = readings[k];
        // Lines mostly name the same series in the same places.
        int i = m_hints[k];
        if (i < 0 || i >= size() || m_series[std::size_t(i)]->name != r.label) {
            auto it = m_index.constFind(r.label);
            if (it != m_index.constEnd()) {
                i = *it;
            } else if (size() < kMaxSeries) {
                i = size();
                m_index.insert(r.label, i);
                m_series.push_back(std::make_unique<Series>());
                m_series.back()->name = r.label;
            } else {
                ++m_beyond;
                continue;
            }
            m_hints[k] = i;
        }
        append(*m_series[std::size_t(i)], ms, r.value);
    }
    while (m_wholeChunks > kWholeChunksKept)
        foldOldest();
}

void SeriesStore::append(Series &s, quint32 ms, double value)
{
    if (s.chunks.empty() || s.chunks.back()->n == kChunk) {
        if (!s.chunks.empty())
            ++m_wholeChunks;
        auto c = std::make_unique<Chunk>();
        c->firstSample = s.count;
        s.chunks.push_back(std::move(c));
    }
    Chunk &c = *s.chunks.back();
    const float v = float(value);
    // Both summaries take the value; each of their entries begins with its first.
    const auto widen = [&](float *min, float *max, int width) {
        const int k = c.n / width;
        min[k] = c.n % width ? std::min(min[k], v) : v;
        max[k] = c.n % width ? std::max(max[k], v) : v;
    };
    widen(c.min, c.max, kBlock);
    widen(c.fineMin, c.fineMax, kFine);
    c.t[c.n] = ms;
    c.v[c.n] = v;
    ++c.n;
    s.latest = value;
    ++s.count;
    ++m_fullValues;
}

// The whole chunk with the oldest last value becomes stretches, a block each;
// a series with too many stretches has each two neighbours made one.
void SeriesStore::foldOldest()
{
    Series *oldest = nullptr;
    for (const auto &s : m_series) {
        if (s->chunks.size() < 2)
            continue; // its one chunk is still being filled
        const Chunk &c = *s->chunks.front();
        if (!oldest || c.t[kChunk - 1] < oldest->chunks.front()->t[kChunk - 1])
            oldest = s.get();
    }
    if (!oldest) {
        m_wholeChunks = 0;
        return;
    }
    const Chunk &c = *oldest->chunks.front();
    for (int b = 0; b < kBlocks; ++b) {
        const int i0 = b * kBlock, i1 = i0 + kBlock - 1;
        oldest->stretches.push_back(
            {c.t[i0], c.t[i1], c.min[b], c.max[b], c.firstSample + i0, c.firstSample + i1});
    }
    auto &st = oldest->stretches;
    if (qsizetype(st.size()) > kMaxStretches) {
        std::size_t w = 0;
        for (std::size_t r = 0; r + 1 < st.size(); r += 2, ++w)
            st[w] = {st[r].t0,
                     st[r + 1].t1,
                     std::min(st[r].min, st[r + 1].min),
                     std::max(st[r].max, st[r + 1].max),
                     st[r].s0,
                     st[r + 1].s1};
        if (st.size() % 2)
            st[w++] = st.back();
        st.resize(w);
    }
    oldest->chunks.pop_front();
    m_fullValues -= kChunk;
    --m_wholeChunks;
    m_folded = true;
}

bool SeriesStore::span(int series, Axis axis, double *first, double *last) const
{
    const Series &s = *m_series[series];
    if (s.count == 0)
        return false;
    if (axis == Axis::Sample) {
        *first = s.stretches.empty() ? double(s.chunks.front()->firstSample)
                                     : double(s.stretches.front().s0);
        *last = double(s.count - 1);
        return true;
    }
    *first = (s.stretches.empty() ? s.chunks.front()->t[0] : s.stretches.front().t0) / 1000.0;
    const Chunk &c = *s.chunks.back();
    *last = c.t[c.n - 1] / 1000.0;
    return true;
}

void SeriesStore::view(int series, Axis axis, double x0, double x1, int columns,
                       std::vector<Point> &out) const
{
    out.clear();
    if (series < 0 || series >= size() || columns <= 0 || !(x1 > x0))
        return;
    const Series &s = *m_series[series];
    struct Column {
        int n = 0;
        float min = 0, max = 0;
        double x = 0; // where a column's only value lies
    };
    std::vector<Column> cols(static_cast<std::size_t>(columns));
    const double scale = columns / (x1 - x0);
    bool hasBefore = false, hasAfter = false;
    Point before{}, after{};
    const auto put = [&](double x, float lo, float hi, int n) {
        if (x < x0) {
            hasBefore = true;
            before = {x, double(hi)};
            return;
        }
        if (x > x1) {
            if (!hasAfter)
                after = {x, double(lo)};
            hasAfter = true;
            return;
        }
        const int c = std::min(columns - 1, int((x - x0) * scale));
        Column &col = cols[std::size_t(c)];
        if (col.n == 0) {
            col.min = lo;
            col.max = hi;
            col.x = x;
        } else {
            col.min = std::min(col.min, lo);
            col.max = std::max(col.max, hi);
        }
        col.n += n;
    };
    const bool byTime = axis == Axis::Time;
    for (const Stretch &st : s.stretches) {
        if (hasAfter)
            break;
        const double a = byTime ? st.t0 / 1000.0 : double(st.s0);
        const double b = byTime ? st.t1 / 1000.0 : double(st.s1);
        put((a + b) / 2, st.min, st.max, 2);
    }
    for (const auto &cp : s.chunks) {
        if (hasAfter)
            break;
        const Chunk &c = *cp;
        const auto xAt = [&](int i) {
            return byTime ? c.t[i] / 1000.0 : double(c.firstSample + i);
        };
        if (xAt(c.n - 1) < x0) {
            put(xAt(c.n - 1), c.v[c.n - 1], c.v[c.n - 1], 1);
            continue;
        }
        for (int b = 0; b * kBlock < c.n && !hasAfter; ++b) {
            const int i0 = b * kBlock, i1 = std::min(c.n, i0 + kBlock) - 1;
            const double a = xAt(i0), z = xAt(i1);
            if (z < x0) {
                put(z, c.v[i1], c.v[i1], 1);
                continue;
            }
            // A block under one column, or so narrow (under half a column) that
            // where its values fall is less than a pixel off, counts as one.
            const int ca = int((a - x0) * scale), cz = int((z - x0) * scale);
            if (a >= x0 && z <= x1 && i1 > i0 && (ca == cz || (z - a) * scale < 0.5)) {
                put((a + z) / 2, c.min[b], c.max[b], 2);
                continue;
            }
            for (int f0 = i0; f0 <= i1 && !hasAfter; f0 += kFine) {
                const int f1 = std::min(i1, f0 + kFine - 1);
                const double fa = xAt(f0), fz = xAt(f1);
                if (fa >= x0 && fz <= x1 && f1 > f0 &&
                    (int((fa - x0) * scale) == int((fz - x0) * scale) || (fz - fa) * scale < 0.5)) {
                    put((fa + fz) / 2, c.fineMin[f0 / kFine], c.fineMax[f0 / kFine], 2);
                    continue;
                }
                for (int i = f0; i <= f1 && !hasAfter; ++i)
                    put(xAt(i), c.v[i], c.v[i], 1);
            }
        }
    }
    if (hasBefore)
        out.push_back(before);
    const double width = (x1 - x0) / columns;
    for (int c = 0; c < columns; ++c) {
        const Column &col = cols[std::size_t(c)];
        if (col.n == 0)
            continue;
        if (col.n == 1) {
            out.push_back({col.x, double(col.min)});
        } else {
            const double x = x0 + (c + 0.5) * width;
            out.push_back({x, double(col.min)});
            out.push_back({x, double(col.max)});
        }
    }
    if (hasAfter)
        out.push_back(after);
}

bool SeriesStore::writeCsv(QIODevice *out, QString *why) const
{
    QByteArray text = cp936::encode(QStringLiteral("时间"));
    for (const auto &s : m_series) {
        QString name = s->name;
        if (name.contains(u',') || name.contains(u'"'))
            name = u'"' + name.replace(u'"', QStringLiteral("\"\"")) + u'"';
        text += ',' + cp936::encode(name);
    }
    text += "\r\n";
    // A cursor per series over what it holds as it came.
    struct Cursor {
        std::size_t chunk = 0;
        int i = 0;
    };
    std::vector<Cursor> at(m_series.size());
    const auto current = [&](std::size_t k, quint32 *t) {
        const Series &s = *m_series[k];
        if (at[k].chunk >= s.chunks.size())
            return false;
        *t = s.chunks[at[k].chunk]->t[at[k].i];
        return true;
    };
    char number[32];
    for (;;) {
        quint32 t = std::numeric_limits<quint32>::max();
        bool any = false;
        for (std::size_t k = 0; k < m_series.size(); ++k) {
            quint32 tk = 0;
            if (current(k, &tk) && (!any || tk < t)) {
                t = tk;
                any = true;
            }
        }
        if (!any)
            break;
        text += QDateTime::fromMSecsSinceEpoch(m_startMs + t)
                    .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                    .toLatin1();
        for (std::size_t k = 0; k < m_series.size(); ++k) {
            text += ',';
            quint32 tk = 0;
            if (!current(k, &tk) || tk != t)
                continue;
            const Series &s = *m_series[k];
            const Chunk &c = *s.chunks[at[k].chunk];
            const auto r = std::to_chars(number, number + sizeof number, c.v[at[k].i]);
            text.append(number, r.ptr - number);
            if (++at[k].i == c.n) {
                ++at[k].chunk;
                at[k].i = 0;
            }
        }
        text += "\r\n";
        if (text.size() >= (1 << 20)) {
            if (out->write(text) != text.size()) {
                *why = out->errorString();
                return false;
            }
            text.clear();
        }
    }
    if (out->write(text) != text.size()) {
        *why = out->errorString();
        return false;
    }
    return true;
}
} // namespace plot
