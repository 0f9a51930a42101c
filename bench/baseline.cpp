#include "baseline.h"

#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <type_traits>

namespace bench {

namespace {

// A row is "  %-34s %16s ...": the label, then the room's column.
constexpr std::size_t kLabelAt = 2;
constexpr std::size_t kLabelWidth = 34;
constexpr std::size_t kRoomAt = kLabelAt + kLabelWidth + 1;
constexpr std::size_t kRoomWidth = 16;

std::string trimmed(const std::string &s)
{
    const auto first = s.find_first_not_of(' ');
    const auto last = s.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

bool read(const std::string &output, RoomFigures *f, std::string *error)
{
    enum class Section { None, Closed, Paced, Rates } section = Section::None;
    int found = 0;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("ERROR") != std::string::npos) {
            *error = trimmed(line);
            return false;
        }
        // Section headings are indented by two, rows by four.
        if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ') {
            if (line.find("fan-out latency, back to back") != std::string::npos)
                section = Section::Closed;
            else if (line.find("fan-out latency, one line every") != std::string::npos)
                section = Section::Paced;
            else if (line.find("  throughput") == 0)
                section = Section::Rates;
            else
                section = Section::None;
            continue;
        }
        if (section == Section::None || line.size() < kRoomAt + kRoomWidth)
            continue;
        const std::string label = trimmed(line.substr(kLabelAt, kLabelWidth));
        // Latencies and CPU per line are printed in us.
        const double value = std::strtod(line.substr(kRoomAt, kRoomWidth).c_str(), nullptr);
        LatencyFigures *latency = section == Section::Closed ? &f->closed
                                  : section == Section::Paced ? &f->paced
                                                              : nullptr;
        // The figures the comparison needs are counted; the rest are extra.
        auto take = [&](auto *target, double v, bool needed) {
            *target = std::decay_t<decltype(*target)>(v);
            found += needed ? 1 : 0;
        };
        if (latency && label == "p50")
            take(&latency->p50, value * 1000, true);
        else if (latency && label == "p99")
            take(&latency->p99, value * 1000, true);
        else if (latency && label == "max")
            take(&latency->max, value * 1000, false);
        else if (label == "lines/s to every receiver")
            take(&f->rates.lines, value, true);
        else if (label == "deliveries/s (lines x receivers)")
            take(&f->rates.deliveries, value, false);
        else if (label == "host CPU, share of one core")
            take(&f->rates.hostCore, value, false);
        else if (label == "host CPU per line")
            take(&f->rates.hostNsPerLine, value * 1000, true);
        else if (label == "process CPU, share of one core")
            take(&f->rates.processCore, value, false);
        else if (label == "process CPU per line")
            take(&f->rates.processNsPerLine, value * 1000, true);
    }
    // p50 and p99 back to back (and paced, when it ran), lines/s, CPU per line.
    if (found < 5) {
        *error = "its table lacks the room's figures";
        return false;
    }
    return true;
}

} // namespace

bool runBaselineRoom(const FanoutOptions &o, RoomFigures *figures, std::string *error)
{
    const QStringList arguments{
        QStringLiteral("fanout"), QStringLiteral("--subjects"), QStringLiteral("room"),
        QStringLiteral("--scale="), QStringLiteral("--syscall-lines"), QStringLiteral("0"),
        QStringLiteral("--members"), QString::number(o.members), QStringLiteral("--threads"),
        QString::number(o.threads), QStringLiteral("--warmup"), QString::number(o.warmup),
        QStringLiteral("--lines"), QString::number(o.lines), QStringLiteral("--paced"),
        QString::number(o.paced), QStringLiteral("--pace-ms"), QString::number(o.paceMs),
        QStringLiteral("--seconds"), QString::number(o.seconds)};
    QProcess bench;
    bench.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bench.start(QString::fromStdString(o.baselineBench), arguments);
    const int timeoutMs = (300 + o.paced * o.paceMs / 1000) * 1000;
    if (!bench.waitForFinished(timeoutMs)) {
        *error = "did not finish: " + bench.errorString().toStdString();
        bench.kill();
        bench.waitForFinished(5000);
        return false;
    }
    const std::string output = bench.readAllStandardOutput().toStdString();
    // Its own words, for the record.
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        std::printf("  | %s\n", line.c_str());
    if (bench.exitStatus() != QProcess::NormalExit || bench.exitCode() != 0) {
        *error = "it failed (exit " + std::to_string(bench.exitCode()) + ")";
        return false;
    }
    return read(output, figures, error);
}

} // namespace bench
