// Link extraction throughput over a generated 2,000-page site (about 30 MB of HTML), and a
// crawl of that site from disk whose result is checked against the generator's own list of
// reachable pages.
//
// The site comes from CORVANE_BENCH_SITE (a folder written by gensite.py); without it the
// benchmark runs gensite.py itself into a temporary folder (about 12 s). gensite.py is looked
// for in CORVANE_GENSITE, then in the shared folder beside the checkout. On a busy machine,
// --benchmark_min_time=3 gives steadier figures.
#include "core/engine/LinkExtractor.h"
#include "core/engine/Url.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Never contacted: the crawl reads files from disk. A loopback address all the same, so
// that nothing here could ever name another host.
const QString kSiteRoot = QStringLiteral("http://127.0.0.1:8080");

struct CPage
{
    QString m_Url;
    QByteArray m_Content;
};

struct CSite
{
    QString m_Error;
    std::vector<CPage> m_Pages;
    QHash<QString, qsizetype> m_IndexByPath; // "/dir/page.html" -> m_Pages index
    QSet<QString> m_Reachable; // the generator's reachable-html.txt
    qint64 m_nBytes = 0;
};

QString GensitePath()
{
    const QString fromEnvironment = qEnvironmentVariable("CORVANE_GENSITE");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifdef CORVANE_SHARED_DIR
    return QStringLiteral(CORVANE_SHARED_DIR "/bench/gensite.py");
#else
    // bench/ -> checkout -> the folder holding the checkout and "shared".
    return QFileInfo(QStringLiteral(__FILE__)).absoluteDir().filePath(QStringLiteral("../../shared/bench/gensite.py"));
#endif
}

std::unique_ptr<CSite> LoadSite()
{
    auto site = std::make_unique<CSite>();
    static QTemporaryDir generated; // lives until the process ends
    QString folder = qEnvironmentVariable("CORVANE_BENCH_SITE");
    if (folder.isEmpty()) {
        folder = generated.filePath(QStringLiteral("site"));
        const QString script = GensitePath();
        std::fprintf(stderr, "Generating the site with %s ...\n", qPrintable(script));
        QProcess gensite;
        gensite.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        gensite.start(QStringLiteral("python3"), {script, folder});
        if (!gensite.waitForFinished(300000) || gensite.exitCode() != 0) {
            site->m_Error = QStringLiteral("gensite.py failed: ") + script;
            return site;
        }
    }
    const QDir root(folder);
    QDirIterator files(folder, {QStringLiteral("*.html")}, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = u'/' + root.relativeFilePath(files.next());
        if (path.startsWith(u"/_gen/"))
            continue;
        QFile file(root.filePath(path.mid(1)));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        site->m_IndexByPath.insert(path, qsizetype(site->m_Pages.size()));
        site->m_Pages.push_back({kSiteRoot + path, file.readAll()});
        site->m_nBytes += site->m_Pages.back().m_Content.size();
    }
    QFile truth(root.filePath(QStringLiteral("_gen/reachable-html.txt")));
    if (site->m_Pages.empty() || !truth.open(QIODevice::ReadOnly | QIODevice::Text)) {
        site->m_Error = QStringLiteral("no generated site in ") + folder;
        return site;
    }
    for (const QByteArray& line : truth.readAll().split('\n')) {
        if (!line.trimmed().isEmpty())
            site->m_Reachable.insert(QString::fromUtf8(line.trimmed()));
    }
    return site;
}

const CSite& Site()
{
    static const std::unique_ptr<CSite> site = LoadSite();
    return *site;
}

// Every page of the site read once, in one crawl's queue and referrer map.
void BM_ExtractLinks(benchmark::State& state)
{
    const CSite& site = Site();
    if (!site.m_Error.isEmpty()) {
        state.SkipWithError(qPrintable(site.m_Error));
        return;
    }
    size_t queued = 0;
    for (auto _ : state) {
        CSpiderQueue queue;
        CReferrerMap referrers;
        for (const CPage& page : site.m_Pages)
            ExtractLinks(CSpiderLink(page.m_Url, 1), page.m_Content, queue, referrers);
        queued = queue.size();
        benchmark::DoNotOptimize(queued);
    }
    state.SetBytesProcessed(state.iterations() * site.m_nBytes);
    state.counters["pages"] = double(site.m_Pages.size());
    state.counters["queued"] = double(queued);
}
BENCHMARK(BM_ExtractLinks)->Unit(benchmark::kMillisecond);

// A breadth-first crawl from /index.html as the spider makes it, pages read from disk; the
// pages found must be exactly those the generator lists as reachable.
void BM_CrawlSite(benchmark::State& state)
{
    const CSite& site = Site();
    if (!site.m_Error.isEmpty()) {
        state.SkipWithError(qPrintable(site.m_Error));
        return;
    }
    QSet<QString> found;
    qint64 bytes = 0;
    size_t broken = 0;
    for (auto _ : state) {
        found.clear();
        bytes = 0;
        broken = 0;
        CSpiderQueue queue;
        CReferrerMap referrers;
        AddSpiderLink(CSpiderLink(kSiteRoot + QStringLiteral("/index.html"), 0), QStringLiteral("Task URL"), queue,
                      referrers);
        while (!queue.empty()) {
            const CSpiderLink link = queue.front();
            queue.pop_front();
            QString scheme, host, path, extra;
            if (!CrackUrl(link.m_Url, scheme, host, path, extra))
                continue;
            const auto index = site.m_IndexByPath.constFind(path);
            if (index == site.m_IndexByPath.cend()) {
                ++broken;
                continue;
            }
            found.insert(path + extra);
            const QByteArray& content = site.m_Pages[size_t(*index)].m_Content;
            bytes += content.size();
            ExtractLinks(link, content, queue, referrers);
        }
    }
    const QSet<QString> missing = site.m_Reachable - found;
    const QSet<QString> unexpected = found - site.m_Reachable;
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["found"] = double(found.size());
    state.counters["expected"] = double(site.m_Reachable.size());
    state.counters["broken"] = double(broken);
    if (!missing.isEmpty() || !unexpected.isEmpty()) {
        const QString example = !missing.isEmpty() ? QStringLiteral("missing ") + *missing.cbegin()
                                                   : QStringLiteral("unexpected ") + *unexpected.cbegin();
        state.SkipWithError(
            qPrintable(QStringLiteral("crawl differs from reachable-html.txt: %1 missing, %2 unexpected (%3)")
                           .arg(missing.size())
                           .arg(unexpected.size())
                           .arg(example)));
    }
}
BENCHMARK(BM_CrawlSite)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
