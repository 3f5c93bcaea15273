// Benchmark program entry: Google Benchmark's console output, then a table of the figures that matter,
// each one a ratio of two measurements taken in this same run (docs/PERFORMANCE.md shows one).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

struct Result {
    double dRealNs = 0;  // adjusted real time of one iteration
    std::map<std::string, double> tCounters;
};

// The console reporter, keeping every run's real time and counters for the figures table.
class FigureReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& vtRuns) override {
        for (const Run& r : vtRuns) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) {
                continue;
            }
            Result& t = tResults_[r.benchmark_name()];
            t.dRealNs = r.GetAdjustedRealTime() * UnitToNs(r.time_unit);
            for (const auto& [strName, tCounter] : r.counters) {
                t.tCounters[strName] = tCounter.value;
            }
        }
        ConsoleReporter::ReportRuns(vtRuns);
    }

    // The first run whose name starts with strPrefix (names carry options such as /iterations:1).
    const Result* Find(const std::string& strPrefix) const {
        for (const auto& [strName, t] : tResults_) {
            if (strName.compare(0, strPrefix.size(), strPrefix) == 0) {
                return &t;
            }
        }
        return nullptr;
    }
    // A counter of a run, or nullptr.
    const double* Counter(const std::string& strName, const std::string& strCounter) const {
        const Result* pt = Find(strName);
        if (pt == nullptr) {
            return nullptr;
        }
        auto it = pt->tCounters.find(strCounter);
        return it != pt->tCounters.end() ? &it->second : nullptr;
    }

  private:
    static double UnitToNs(benchmark::TimeUnit eUnit) {
        switch (eUnit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            default:
                return 1.0;
        }
    }
    std::map<std::string, Result> tResults_;
};

struct Figure {
    std::string strWhat;
    double dValue;
    std::string strGoal;  // empty: no goal, shown for context
    int iMet;             // 1 met, 0 missed, -1 no goal
    std::string strNote;
};

void PrintFigures(const std::vector<Figure>& vtFigures) {
    std::printf("\n## Figures (ratios from this run)\n\n");
    std::printf("| Figure | Ratio | Goal | Met | Measured |\n|---|---|---|---|---|\n");
    for (const Figure& f : vtFigures) {
        std::printf("| %s | %.3f | %s | %s | %s |\n", f.strWhat.c_str(), f.dValue,
                    f.strGoal.empty() ? "-" : f.strGoal.c_str(),
                    f.iMet < 0 ? "-" : (f.iMet == 1 ? "yes" : "**no**"), f.strNote.c_str());
    }
}

std::string Fmt(const char* strFormat, double a, double b = 0, double c = 0) {
    char acBuf[200];
    std::snprintf(acBuf, sizeof(acBuf), strFormat, a, b, c);
    return acBuf;
}

std::vector<Figure> CollectFigures(const FigureReporter& r) {
    std::vector<Figure> v;
    auto atMost = [](double d, double dGoal) { return d <= dGoal ? 1 : 0; };

    // Upgrade against the physical bound.
    struct Speed {
        const char* strRun;
        const char* strRaw;
        const char* strName;
        double dGoal;  // 0: shown for context
    };
    for (const Speed& s :
         {Speed{"BM_Upgrade256KiB/full_speed/", "BM_RawPackageLoop/full_speed/", "full-speed", 1.05},
          Speed{"BM_Upgrade256KiB/high_speed/", "BM_RawPackageLoop/high_speed/", "high-speed", 1.25},
          Speed{"BM_Upgrade256KiB/high_bandwidth/", "BM_RawPackageLoop/high_bandwidth/",
                "high-speed high-bandwidth", 1.25},
          Speed{"BM_Upgrade256KiB/high_speed_no_flash/", "BM_RawPackageLoop/high_speed_no_flash/",
                "high-speed without flash time", 0}}) {
        const double* pPhase = r.Counter(s.strRun, "phase_s");
        const double* pPhaseBound = r.Counter(s.strRun, "phase_bound_s");
        const double* pWhole = r.Counter(s.strRun, "whole_s");
        const double* pWholeBound = r.Counter(s.strRun, "whole_bound_s");
        if (pPhase != nullptr && pPhaseBound != nullptr) {
            double d = *pPhase / *pPhaseBound;
            v.push_back({std::string("Upgrade 256 KiB, ") + s.strName + ", package transfer / its bound", d,
                         s.dGoal > 0 ? Fmt("<= %.2f", s.dGoal) : "", s.dGoal > 0 ? atMost(d, s.dGoal) : -1,
                         Fmt("%.3f s / %.3f s", *pPhase, *pPhaseBound)});
        }
        const double* pRaw = r.Counter(s.strRaw, "raw_s");
        if (pRaw != nullptr && pPhaseBound != nullptr) {
            v.push_back({std::string("Raw package loop (simulation floor), ") + s.strName + " / the bound",
                         *pRaw / *pPhaseBound, "", -1, Fmt("%.3f s / %.3f s", *pRaw, *pPhaseBound)});
        }
        if (pRaw != nullptr && pPhase != nullptr) {
            v.push_back(
                {std::string("Upgrade 256 KiB, ") + s.strName + ", package transfer / raw package loop",
                 *pPhase / *pRaw, "", -1, Fmt("%.3f s / %.3f s", *pPhase, *pRaw)});
        }
        if (pWhole != nullptr && pWholeBound != nullptr) {
            double d = *pWhole / *pWholeBound;
            v.push_back({std::string("Upgrade 256 KiB, ") + s.strName +
                             ", whole upgrade / bound with the fixed pauses (1.1 s)",
                         d, "", -1, Fmt("%.3f s / %.3f s", *pWhole, *pWholeBound)});
        }
    }

    // Main thread CPU against wall time.
    const char* strFull = "BM_Upgrade256KiB/full_speed/";
    if (const double* p = r.Counter(strFull, "phase_cpu_share")) {
        v.push_back({"Main thread CPU / wall, package transfer, full-speed (slow) tablet", *p, "< 0.10",
                     *p < 0.10 ? 1 : 0, Fmt("%.1f %% of the transfer", *p * 100)});
    }
    if (const double* p = r.Counter(strFull, "whole_cpu_share")) {
        v.push_back({"Main thread CPU / wall, whole upgrade, full-speed tablet", *p, "< 0.10",
                     *p < 0.10 ? 1 : 0, Fmt("%.1f %% of the upgrade", *p * 100)});
    }
    const char* strCpu = "BM_ReceiverCpu";
    const double* pLinkCpu = r.Counter(strCpu, "link_cpu_share");
    const double* pSpinCpu = r.Counter(strCpu, "spin_cpu_share");
    if (pLinkCpu != nullptr && pSpinCpu != nullptr) {
        v.push_back({"Receiver CPU / wall, 20 ms replies: the link's receiver", *pLinkCpu, "< 0.10",
                     *pLinkCpu < 0.10 ? 1 : 0,
                     Fmt("spinning receiver baseline in the same run: %.3f", *pSpinCpu)});
    }

    // Package building.
    const Result* ptOne = r.Find("BM_BuildPackages_OneRecordEach");
    const Result* ptLone = r.Find("BM_BuildPackages_LoneCommand");
    const Result* ptWhole = r.Find("BM_BuildPackages_WholeFileEach");
    if (ptOne != nullptr && ptWhole != nullptr) {
        double d = ptOne->dRealNs / ptWhole->dRealNs;
        v.push_back(
            {"Building 256 packages of a 262,426-byte file, held as the upgrade does / "
             "re-read-the-whole-file "
             "baseline",
             d, "<= 0.10", atMost(d, 0.10),
             Fmt("%.2f ms / %.2f ms", ptOne->dRealNs / 1e6, ptWhole->dRealNs / 1e6)});
    }
    if (ptLone != nullptr && ptWhole != nullptr) {
        v.push_back(
            {"Building 256 packages of a 262,426-byte file, lone command opening the file each time / "
             "re-read-the-whole-file baseline",
             ptLone->dRealNs / ptWhole->dRealNs, "", -1,
             Fmt("%.2f ms / %.2f ms", ptLone->dRealNs / 1e6, ptWhole->dRealNs / 1e6)});
    }

    // Reply hand-off.
    for (const char* strRun : {"BM_ReplyHandoff/reply_us:1000/", "BM_ReplyHandoff/reply_us:250/"}) {
        const double* pLinkMed = r.Counter(strRun, "link_median_us");
        const double* pRawMed = r.Counter(strRun, "raw_median_us");
        const double* pLinkP99 = r.Counter(strRun, "link_p99_us");
        const double* pRawP99 = r.Counter(strRun, "raw_p99_us");
        if (pLinkMed == nullptr || pRawMed == nullptr || pLinkP99 == nullptr || pRawP99 == nullptr) {
            continue;
        }
        std::string strWhen =
            std::string(strRun).find("1000") != std::string::npos ? "reply after 1 ms" : "reply after 250 us";
        double d = *pLinkMed / *pRawMed;
        v.push_back({"Reply hand-off median, link / raw read loop (" + strWhen + ")", d, "<= 1.30",
                     atMost(d, 1.30), Fmt("%.1f us / %.1f us", *pLinkMed, *pRawMed)});
        v.push_back({"Reply hand-off 99th percentile, link / raw read loop (" + strWhen + ")",
                     *pLinkP99 / *pRawP99, "", -1, Fmt("%.1f us / %.1f us", *pLinkP99, *pRawP99)});
    }

    // CRC.
    const Result* ptTable = r.Find("BM_Crc16Table/262144");
    const Result* ptBits = r.Find("BM_Crc16Bitwise/262144");
    if (ptTable != nullptr && ptBits != nullptr) {
        double d = ptBits->dRealNs / ptTable->dRealNs;
        v.push_back({"CRC-16/X-25 throughput, table / bit-by-bit baseline (256 KiB)", d, "", -1,
                     Fmt("%.0f MB/s / %.0f MB/s", 262144.0 / ptTable->dRealNs * 1e3,
                         262144.0 / ptBits->dRealNs * 1e3)});
    }
    const Result* ptCrcUpgrade = r.Find("BM_CrcOfOneUpgrade");
    const char* strHigh = "BM_Upgrade256KiB/high_speed/";
    const double* pHighWhole = r.Counter(strHigh, "whole_s");
    const double* pHighCpu = r.Counter(strHigh, "whole_cpu_s");
    if (ptCrcUpgrade != nullptr && pHighWhole != nullptr) {
        double dCrcS = ptCrcUpgrade->dRealNs / 1e9;
        v.push_back({"CRC share of one upgrade's wall time (high-speed)", dCrcS / *pHighWhole, "", -1,
                     Fmt("%.3f ms of CRC in %.3f s", dCrcS * 1e3, *pHighWhole)});
        if (pHighCpu != nullptr && *pHighCpu > 0) {
            v.push_back({"CRC share of the main thread's CPU time in one upgrade (high-speed)",
                         dCrcS / *pHighCpu, "", -1,
                         Fmt("%.3f ms of %.1f ms CPU", dCrcS * 1e3, *pHighCpu * 1e3)});
        }
    }
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    FigureReporter tReporter;
    benchmark::RunSpecifiedBenchmarks(&tReporter);
    PrintFigures(CollectFigures(tReporter));
    benchmark::Shutdown();
    return 0;
}
