#pragma once

#include "plot/number_reader.h"

#include <QHash>
#include <QIODevice>
#include <QString>
#include <deque>
#include <memory>
#include <vector>

namespace plot
{
enum class Axis { Time, Sample };
struct Point {
    double x, y;
};

// The plot's values, series by series, in bounded memory whatever the run's
// length: at least the newest kFullValues values as they came (each its
// arrival in milliseconds and its value to float precision), everything
// older as the least and greatest value of each stretch of time, the
// stretches growing as the run does. A view asks for at most two points per
// pixel column, found through per-block summaries, so that a day of data
// draws as fast as a minute.
class SeriesStore
{
public:
    static constexpr int kMaxSeries = 16;
    static constexpr qint64 kFullValues = 5'000'000;
    static constexpr int kChunk = 16384;        // values held together
    static constexpr int kBlock = 256;          // values a summary covers
    static constexpr int kMaxStretches = 16384; // per series

    // startMs: when the plot began, in milliseconds since the epoch.
    explicit SeriesStore(qint64 startMs = 0);
    ~SeriesStore();
    SeriesStore(const SeriesStore &) = delete;
    SeriesStore &operator=(const SeriesStore &) = delete;
    qint64 startMs() const { return m_startMs; }

    // The values of one line that came at ms since the start. A series
    // beyond kMaxSeries is not kept: its values are counted (beyondLimit).
    void add(quint32 ms, const Reading *readings, std::size_t n);
    void add(quint32 ms, const std::vector<Reading> &readings)
    {
        add(ms, readings.data(), readings.size());
    }
    void clear();

    int size() const { return int(m_series.size()); }
    const QString &name(int series) const { return m_series[series]->name; }
    double latest(int series) const { return m_series[series]->latest; }
    qint64 count(int series) const { return m_series[series]->count; }
    qint64 beyondLimit() const { return m_beyond; }
    // Whether the oldest values are held as stretches only.
    bool folded() const { return m_folded; }
    qint64 fullValues() const { return m_fullValues; }

    // Where a series' values lie along axis (seconds since the start, or
    // sample number from 0); false for a series with none.
    bool span(int series, Axis axis, double *first, double *last) const;
    // The series' values with x in [x0, x1], at most two per column of
    // columns (the least and the greatest under it; a column with one value
    // gets it where it is), in order, and the nearest one outside at each end.
    void view(int series, Axis axis, double x0, double x1, int columns,
              std::vector<Point> &out) const;

    // Every value held as it came, a row per arrival: its time, then a column
    // per series (empty where that line had none); code page 936, CRLF.
    bool writeCsv(QIODevice *out, QString *why) const;

private:
    struct Chunk;
    struct Stretch {
        quint32 t0, t1;
        float min, max;
        qint64 s0, s1; // sample numbers
    };
    struct Series {
        QString name;
        double latest = 0;
        qint64 count = 0;
        std::vector<Stretch> stretches;
        std::deque<std::unique_ptr<Chunk>> chunks;
    };
    void append(Series &s, quint32 ms, double value);
    void foldOldest();

    qint64 m_startMs;
    std::vector<std::unique_ptr<Series>> m_series;
    QHash<QString, int> m_index;
    std::vector<int> m_hints; // the series of each place in the last line
    qint64 m_beyond = 0;
    qint64 m_fullValues = 0;
    qint64 m_wholeChunks = 0;
    bool m_folded = false;
};
} // namespace plot
