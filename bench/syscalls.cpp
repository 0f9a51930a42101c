#include "syscalls.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <sstream>

namespace bench {

namespace {

// The rows of `strace -c`: % time, seconds, usecs/call, calls, [errors,] name.
void parseSummary(const QByteArray &text, SyscallCount *count)
{
    std::istringstream lines(text.toStdString());
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (w.size() < 5 || w[0].find_first_not_of("0123456789.") != std::string::npos)
            continue;
        const std::int64_t calls = std::stoll(w[3]);
        if (w.back() == "total")
            count->calls = calls;
        else
            count->byName.emplace_back(w.back(), calls);
    }
    std::stable_sort(count->byName.begin(), count->byName.end(),
                     [](const auto &a, const auto &b) { return a.second > b.second; });
}

} // namespace

bool countSyscalls(pid_t thread, const std::function<bool()> &work, SyscallCount *count, std::string *error)
{
    QTemporaryDir folder;
    const QString summary = folder.filePath(QStringLiteral("summary"));
    QProcess strace;
    strace.setReadChannel(QProcess::StandardError);
    strace.start(QStringLiteral("strace"),
                 {QStringLiteral("-c"), QStringLiteral("-o"), summary, QStringLiteral("-p"), QString::number(thread)});
    if (!strace.waitForStarted(5000)) {
        *error = "cannot run strace: " + strace.errorString().toStdString();
        return false;
    }
    // It says so on standard error once it is attached.
    QByteArray said;
    while (!said.contains("attached")) {
        if (!strace.waitForReadyRead(5000)) {
            *error = "strace did not attach: " + said.trimmed().toStdString();
            strace.kill();
            strace.waitForFinished(5000);
            return false;
        }
        said += strace.readAllStandardError();
    }
    const bool done = work();
    // On SIGINT strace detaches and writes its summary.
    ::kill(pid_t(strace.processId()), SIGINT);
    if (!strace.waitForFinished(10000)) {
        strace.kill();
        strace.waitForFinished(5000);
    }
    if (!done) {
        *error = "the traced run failed";
        return false;
    }
    QFile file(summary);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "strace wrote no summary";
        return false;
    }
    parseSummary(file.readAll(), count);
    return true;
}

} // namespace bench
