// A burst of 20,000 searches from distinct made-up names, all matching our
// files, from a hostile parent in the distributed tree, with the stand-in
// server answering the address requests and connect-backs that the answers
// cause (tests/shares/FakeSearchBurst.h). Figures: the client's processor
// time, its resident memory growth, how late 1,000 probes spread over ten
// seconds of the burst reach a child, and when a real user's search made
// half a second in is answered.
//
//   bench_fake_searchers   (inside unshare -n with loopback only)

#include "FakeSearchBurst.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <limits>

int main(int argc, char** argv)
{
    QCoreApplication l_app(argc, argv);
    int const l_fakes = bench::Size(20000, 500);
    int const l_probes = bench::Size(1000, 50);
    StandinProcess l_standin;
    QTemporaryDir l_dir;
    bench::Require(l_standin.Start() && l_dir.isValid(), "cannot start the stand-in server");
    burst::Figures l_figures;
    {
        burst::Client l_client;
        bench::Require(l_client.Start(l_standin.Port(), l_dir, 20), "the client did not start");
        l_figures = l_client.Run(l_fakes, l_probes, bench::Size(10000, 1000), 180000);
    }
    bench::Require(l_figures.ProbesWithin(std::numeric_limits<qint64>::max()) == l_probes, "probes were lost");
    bench::Require(l_figures.m_bobAnsweredNs > 0, "the real user got no answer");
    std::vector<qint64> l_delays = l_figures.m_probeDelays;
    std::sort(l_delays.begin(), l_delays.end(), [](qint64 i_a, qint64 i_b) {
        qint64 const l_never = std::numeric_limits<qint64>::max();
        return (i_a < 0 ? l_never : i_a) < (i_b < 0 ? l_never : i_b);
    });
    auto const l_ms = [](qint64 i_ns) { return i_ns < 0 ? -1.0 : i_ns / 1e6; };
    std::printf("%d searches from made-up names, 20 files matching each; quiet after %.1f s\n", l_figures.m_fakes,
                l_figures.m_seconds);
    std::printf("client processor time: %.2f s\n", l_figures.m_cpuNs / 1e9);
    std::printf("resident memory: %+ld MiB after the burst, peak %+ld MiB\n", l_figures.m_residentGrowthKiB / 1024,
                l_figures.m_peakGrowthKiB / 1024);
    std::printf("probes relayed to the child within 5 s: %d of %d; median %.1f ms, 90th percentile %.1f ms, "
                "slowest %.1f ms\n",
                l_figures.ProbesWithin(5000000000), l_probes, l_ms(l_delays[l_delays.size() / 2]),
                l_ms(l_delays[l_delays.size() * 9 / 10]), l_ms(l_delays.back()));
    std::printf("bob's search, made %.2f s in, answered %.2f s in\n", l_figures.m_bobAskedNs / 1e9,
                l_figures.m_bobAnsweredNs / 1e9);
    std::printf("searches judged: %d; failed connections reported: %d; user items left: %zu\n", l_figures.m_processed,
                l_figures.m_failures, l_figures.m_userItems);
    return 0;
}
