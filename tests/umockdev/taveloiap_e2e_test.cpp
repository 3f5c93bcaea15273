// The unmodified TaveloIAP binary against a virtual tablet behind emulated hidraw nodes: a whole upgrade
// with the reboot into the boot loader and the re-detection after the last package, a foreign device next
// to the tablet, pen reports while replies are awaited, a node the user may not open, and signals during
// and outside a transfer with the exit status they leave.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device/device_table.h"
#include "hidraw_testbed.h"
#include "platform/hid_report_descriptor.h"
#include "sim/exchange_record.h"
#include "sim/virtual_tablet.h"
#include "support/bitwise_crc.h"
#include "version.h"

namespace {

using namespace std::chrono_literals;

// ---- The program, run as a child process with its standard input and output on pipes ------------------

class ProgramRun {
  public:
    // Starts strExe, from strWorkDir when one is given (else from the test's current directory). With
    // iUid >= 0 the program runs as that user (and group).
    ProgramRun(const std::string& strExe, int iUid = -1, const std::string& strWorkDir = "") {
        int aiIn[2];
        int aiOut[2];
        if (pipe2(aiIn, O_CLOEXEC) != 0 || pipe2(aiOut, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(aiIn[0], STDIN_FILENO);
            dup2(aiOut[1], STDOUT_FILENO);
            if (!strWorkDir.empty() && chdir(strWorkDir.c_str()) != 0) {
                _exit(125);
            }
            if (iUid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(iUid)) != 0 ||
                              setuid(static_cast<uid_t>(iUid)) != 0)) {
                _exit(126);
            }
            execl(strExe.c_str(), strExe.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(aiIn[0]);
        close(aiOut[1]);
        m_iIn = aiIn[1];
        m_iOut = aiOut[0];
        m_reader = std::thread([this] {
            char buf[4096];
            ssize_t n;
            while ((n = read(m_iOut, buf, sizeof(buf))) > 0) {
                std::lock_guard<std::mutex> lock(m_mtx);
                m_strOut.append(buf, static_cast<std::size_t>(n));
                m_cv.notify_all();
            }
            std::lock_guard<std::mutex> lock(m_mtx);
            m_bEof = true;
            m_cv.notify_all();
        });
    }
    ~ProgramRun() {
        if (m_pid > 0 && !m_bReaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_iIn >= 0) {
            close(m_iIn);
        }
        m_reader.join();
        close(m_iOut);
    }

    void Signal(int iSignal) { kill(m_pid, iSignal); }
    void Send(const std::string& strText) {
        ASSERT_EQ(write(m_iIn, strText.data(), strText.size()), static_cast<ssize_t>(strText.size()));
    }
    // Waits until the output holds strText iCount times; false after the time limit.
    bool WaitForOutput(const std::string& strText, int iCount = 1, std::chrono::milliseconds tLimit = 60s) {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, tLimit, [&] { return m_bEof || Count(m_strOut, strText) >= iCount; }) &&
               Count(m_strOut, strText) >= iCount;
    }
    std::string Output() {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strOut;
    }
    // Waits for the program to end; its exit status, or -1 after the time limit (it is then killed).
    int WaitExit(std::chrono::milliseconds tLimit = 30s) {
        auto tEnd = std::chrono::steady_clock::now() + tLimit;
        while (std::chrono::steady_clock::now() < tEnd) {
            int iStatus = 0;
            if (waitpid(m_pid, &iStatus, WNOHANG) == m_pid) {
                m_bReaped = true;
                return WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }
    static int Count(const std::string& s, const std::string& strText) {
        int n = 0;
        for (std::size_t p = s.find(strText); p != std::string::npos;
             p = s.find(strText, p + strText.size())) {
            ++n;
        }
        return n;
    }

  private:
    pid_t m_pid = -1;
    bool m_bReaped = false;
    int m_iIn = -1;
    int m_iOut = -1;
    std::thread m_reader;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::string m_strOut;
    bool m_bEof = false;
};

// ---- The program's directory: a copy of the binary and the model's firmware file ----------------------

std::uint16_t Crc16X25(const std::vector<std::uint8_t>& data) {
    return BitwiseCrc16X25(data.data(), data.size());
}

void PutLe(std::vector<std::uint8_t>* p, std::uint32_t v, int iBytes) {
    for (int i = 0; i < iBytes; ++i) {
        p->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

// A scrambled firmware file of the image: 26-byte header, then 1025-byte records (data XOR key, key).
std::vector<std::uint8_t> CipherFile(const std::vector<std::uint8_t>& image) {
    const std::uint32_t ulLen = static_cast<std::uint32_t>(image.size());
    const std::uint32_t ulLast = ulLen % 1024;
    const std::uint32_t ulPackages = ulLen / 1024 + (ulLast != 0 ? 1 : 0);
    std::vector<std::uint8_t> f = {0, 1};
    for (std::uint32_t v : {2026u, 12u, 7u, 12u, 0u, 0u}) {
        PutLe(&f, v, 2);
    }
    PutLe(&f, ulPackages, 2);
    PutLe(&f, ulLast, 2);
    PutLe(&f, ulLen, 4);
    PutLe(&f, Crc16X25(image), 4);
    for (std::uint32_t i = 0; i < ulPackages; ++i) {
        const std::uint8_t ucKey = static_cast<std::uint8_t>(0x5B + 13 * i);
        for (std::uint32_t k = 0; k < 1024; ++k) {
            const std::uint32_t ulAt = i * 1024 + k;
            f.push_back(static_cast<std::uint8_t>((ulAt < ulLen ? image[ulAt] : 0xA5) ^ ucKey));
        }
        f.push_back(ucKey);
    }
    return f;
}

void WriteFile(const std::string& strPath, const std::vector<std::uint8_t>& bytes, mode_t mode) {
    std::ofstream out(strPath, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    chmod(strPath.c_str(), mode);
}

std::vector<std::uint8_t> ReadFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The build's TaveloIAP, copied into a fresh directory with the model's firmware file. With
// TAVELO_E2E_PROGRAM set (an installed program, such as the package's command in /usr/bin, a link to the
// real executable), that program is run where it is, from a fresh directory that holds the firmware file
// as its current directory, as an owner runs it from the folder of a download: nothing is put beside the
// installed program.
class ProgramDir {
  public:
    ProgramDir(int iModel, const std::vector<std::uint8_t>& image) {
        char strTemplate[] = "/tmp/taveloiap-e2e-XXXXXX";
        if (mkdtemp(strTemplate) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_strTempDir = strTemplate;
        chmod(m_strTempDir.c_str(), 0755);  // an unprivileged run must reach the program and the file
        const char* strInstalled = std::getenv("TAVELO_E2E_PROGRAM");
        if (strInstalled != nullptr && strInstalled[0] != '\0') {
            m_strExe = strInstalled;
            m_strWorkDir = m_strTempDir;
        } else {
            m_strExe = m_strTempDir + "/TaveloIAP";
            WriteFile(m_strExe, ReadFile(TAVELO_PROGRAM), 0755);
        }
        WriteFile(m_strTempDir + "/" + DeviceTable[iModel].strMcuCipherFileName, CipherFile(image), 0644);
    }
    ~ProgramDir() { std::system(("rm -rf '" + m_strTempDir + "'").c_str()); }
    const std::string& Exe() const { return m_strExe; }
    // The current directory to run the program from; empty: the test's own.
    const std::string& WorkDir() const { return m_strWorkDir; }

  private:
    std::string m_strTempDir;
    std::string m_strExe;
    std::string m_strWorkDir;
};

// ---- The virtual tablet on the emulated bus ------------------------------------------------------------

// Keeps the tablet's presence and the emulated node in step: a node appears when the tablet is on the bus
// (a new hidrawN each time it comes back) and goes when it leaves, failing the pending read with ENODEV.
// Output reports written to the node go to the tablet; its input reports are queued on the node.
class TabletOnBus {
  public:
    TabletOnBus(HidrawTestbed* ptBed, std::shared_ptr<sim::VirtualTablet> pTablet, bool bPenChatter)
        : m_ptBed(ptBed), m_pTablet(std::move(pTablet)), m_bPenChatter(bPenChatter) {
        m_spec.usVid = m_pTablet->VendorId();
        m_spec.usPid = m_pTablet->ProductId();
        m_spec.reportDescriptor = m_pTablet->ReportDescriptor();
        m_spec.strName = "Tavelo tablet";
        // The pen's input report, as the node would deliver one while the pen hovers.
        HidDescriptorInfo tInfo;
        ParseHidReportDescriptor(m_spec.reportDescriptor.data(), m_spec.reportDescriptor.size(), &tInfo);
        for (const HidReportBits& tReport : tInfo.tReports) {
            const HidTopCollection& tColl = tInfo.tCollections[tReport.usCollection];
            if (tReport.ullInputBits != 0 && tColl.usUsagePage != 0xFF0C) {
                m_penReport.assign(tColl.ulInputBytes, 0x00);
                m_penReport[0] = tReport.ucReportId;
                m_penReport[1] = 0x21;  // in range
                break;
            }
        }
        m_thread = std::thread([this] { Run(); });
    }
    ~TabletOnBus() {
        m_bStop = true;
        m_thread.join();
    }
    int NodesCreated() const { return m_iNodesCreated.load(); }
    int PenReportsSent() const { return m_iPenReports.load(); }
    bool HasPen() const { return !m_penReport.empty(); }

  private:
    void Run() {
        int iNode = -1;
        std::uint32_t ulNodeGeneration = 0;
        std::vector<std::uint8_t> buf(65536);
        const std::size_t uVendor = static_cast<std::size_t>(m_pTablet->VendorCollection());
        while (!m_bStop) {
            bool bBusy = false;
            if (iNode >= 0) {
                std::uint32_t ulGot = 0;
                sim::Clock::time_point tDue;
                sim::VirtualTablet::PollResult e =
                    m_pTablet->PollInputReport(ulNodeGeneration, uVendor, buf.data(),
                                               static_cast<std::uint32_t>(buf.size()), &ulGot, &tDue);
                if (e == sim::VirtualTablet::PollResult::kReport) {
                    m_ptBed->QueueInput(iNode, Bytes(buf.begin(), buf.begin() + ulGot));
                    bBusy = true;
                } else if (e == sim::VirtualTablet::PollResult::kGone) {
                    m_ptBed->RemoveDevice(iNode);
                    iNode = -1;
                }
            }
            std::uint32_t ulGeneration = 0;
            if (iNode < 0 && m_pTablet->Present(&ulGeneration) && ulGeneration != ulNodeGeneration) {
                ulNodeGeneration = ulGeneration;
                iNode =
                    m_ptBed->AddDevice(m_spec, [this, ulGeneration, uVendor](int iAt, const Bytes& report) {
                        if (m_bPenChatter && !m_penReport.empty()) {
                            m_ptBed->QueueInput(iAt, m_penReport);  // the pen hovers while the tablet works
                            ++m_iPenReports;
                        }
                        m_pTablet->WriteOutputReport(ulGeneration, uVendor, report.data(),
                                                     static_cast<std::uint32_t>(report.size()));
                    });
                ++m_iNodesCreated;
                bBusy = true;
            }
            if (!bBusy) {
                std::this_thread::sleep_for(1ms);
            }
        }
    }

    HidrawTestbed* m_ptBed;
    std::shared_ptr<sim::VirtualTablet> m_pTablet;
    bool m_bPenChatter;
    HidDeviceSpec m_spec;
    Bytes m_penReport;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_iNodesCreated{0};
    std::atomic<int> m_iPenReports{0};
    std::thread m_thread;
};

std::vector<std::uint8_t> TestImage(std::size_t szLen) {
    std::vector<std::uint8_t> image(szLen);
    std::mt19937 gen(1234);
    for (auto& b : image) {
        b = static_cast<std::uint8_t>(gen());
    }
    return image;
}

const char kConnected[] = "\r[Tavelo IAP]: Tavelo digital panel【'Tavelo K1 Plus V2'】connected \r\n";
const char kPrompt[] = "[Tavelo IAP]: Please choose：";
const char kWaiting[] = "\r[Tavelo IAP]: Detecting tavelo digital panel";

// With TAVELO_RECORD_DIR set, writes the run as an exchange record there (for tests/replay).
void WriteRecord(const char* strName, sim::VirtualTablet* ptTablet,
                 const std::vector<std::uint8_t>& vucFirmware, const std::string& strInput,
                 const std::string& strOutput, int iExitStatus) {
    const char* strDir = std::getenv("TAVELO_RECORD_DIR");
    if (strDir == nullptr || *strDir == '\0') {
        return;
    }
    sim::ExchangeRecord r;
    r.strProgram = std::string("TaveloIAP ") + kTaveloVersion;
    r.strLanguage = "en";
    r.strSystem = "Linux hidraw, emulated by umockdev";
    r.strSource = std::string("umockdev end-to-end test ") + strName;
    ptTablet->FillRecord(&r);
    r.strFirmwareName = DeviceTable[0].strMcuCipherFileName;
    r.vucFirmware = vucFirmware;
    r.strInput = strInput;
    r.strConsole = strOutput;
    r.iExitStatus = iExitStatus;
    std::ofstream(std::string(strDir) + "/umockdev-" + strName + ".log", std::ios::binary | std::ios::trunc)
        << sim::FormatExchangeRecord(r);
}

int AddKeyboard(HidrawTestbed* ptBed) {
    HidDeviceSpec tSpec;
    tSpec.usVid = 0x046D;
    tSpec.usPid = 0xC31C;
    tSpec.reportDescriptor = KeyboardReportDescriptor();
    return ptBed->AddDevice(tSpec, nullptr);
}

}  // namespace

TEST(TaveloIapOnHidraw, UpgradesATabletWithAPenBesideAForeignDevice) {
    HidrawTestbed bed;
    AddKeyboard(&bed);  // hidraw0: a foreign device listed before the tablet
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 0;
    auto pTablet = std::make_shared<sim::VirtualTablet>(tConfig);
    const std::vector<std::uint8_t> image = TestImage(5 * 1024 + 300);
    ProgramDir dir(0, image);
    pTablet->StartRecording();
    TabletOnBus bus(&bed, pTablet, true);
    ASSERT_TRUE(bus.HasPen());

    ProgramRun run(dir.Exe(), -1, dir.WorkDir());
    ASSERT_TRUE(run.WaitForOutput(kConnected)) << run.Output();
    ASSERT_TRUE(run.WaitForOutput(kPrompt)) << run.Output();
    run.Send("1\n");
    ASSERT_TRUE(run.WaitForOutput(kPrompt, 2, 120s)) << run.Output();
    const std::string strOut = run.Output();
    EXPECT_EQ(strOut.rfind("[Help]: ===", 0), 0u) << strOut;
    EXPECT_NE(strOut.find("[100.00%][Finish]"), std::string::npos) << strOut;
    if (!dir.WorkDir().empty()) {
        EXPECT_NE(strOut.find("[Tavelo IAP]: Firmware file from the current folder: " + dir.WorkDir() + "/" +
                              DeviceTable[0].strMcuCipherFileName + "\r\n"),
                  std::string::npos)
            << strOut;
    }
    // No failed exchange, write or status on the way.
    for (const char* strBad : {"IAP应用流程", "写入", "ServerResponseStatus"}) {
        EXPECT_EQ(strOut.find(strBad), std::string::npos) << strBad << "\n" << strOut;
    }

    // The image is in the flash, checked by the tablet; it rebooted into the boot loader and back.
    std::vector<std::uint8_t> flash = pTablet->Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    EXPECT_EQ(pTablet->FirmwareInstalls(), 1u);
    EXPECT_EQ(pTablet->Running(), sim::TabletFirmware::kApplication);
    EXPECT_GE(bus.NodesCreated(), 3);  // first plug, boot loader, new firmware
    EXPECT_GT(bus.PenReportsSent(), 0);

    run.Send("2\n");
    const int iExit = run.WaitExit();
    EXPECT_EQ(iExit, 0) << run.Output();
    EXPECT_EQ(ProgramRun::Count(run.Output(), kConnected), 1);
    WriteRecord("upgrade-beside-a-foreign-device", pTablet.get(), CipherFile(image), "1\n2\n", run.Output(),
                iExit);
}

TEST(TaveloIapOnHidraw, NamesTheNodeItMayNotOpenOnceAndConnectsWhenAllowed) {
    HidrawTestbed bed;
    AddKeyboard(&bed);
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 0;
    auto pTablet = std::make_shared<sim::VirtualTablet>(tConfig);
    ProgramDir dir(0, TestImage(2048));
    TabletOnBus bus(&bed, pTablet, false);
    // Wait for the tablet's node, then take it from unprivileged users.
    for (int i = 0; i < 5000 && bus.NodesCreated() == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(bus.NodesCreated(), 1);
    const int iNode = 1;  // after the keyboard's hidraw0
    bed.AllowTestbedToUsers();
    bed.SetNodeOpenToUsers(iNode, false);

    ProgramRun run(dir.Exe(), 65534, dir.WorkDir());  // nobody
    const std::string strLine =
        "\r\n[Tavelo IAP]: Permission denied: cannot open /dev/hidraw" + std::to_string(iNode) +
        ". Install the udev rule 70-taveloiap.rules (copy it to /etc/udev/rules.d/, run "
        "'udevadm control --reload' and replug the tablet) or run as root.\r\n";
    ASSERT_TRUE(run.WaitForOutput(strLine)) << run.Output();
    // Discovery goes on (many passes a second) without repeating the line and without connecting.
    std::this_thread::sleep_for(500ms);
    const std::string strOut = run.Output();
    EXPECT_EQ(ProgramRun::Count(strOut, strLine), 1) << strOut;
    EXPECT_NE(strOut.find(kWaiting), std::string::npos);
    EXPECT_EQ(strOut.find("connected"), std::string::npos);
    // The rule applied: the next pass opens the node.
    bed.SetNodeOpenToUsers(iNode, true);
    ASSERT_TRUE(run.WaitForOutput(kConnected)) << run.Output();
    ASSERT_TRUE(run.WaitForOutput(kPrompt)) << run.Output();
    run.Send("2\n");
    EXPECT_EQ(run.WaitExit(), 0) << run.Output();
    EXPECT_EQ(ProgramRun::Count(run.Output(), strLine), 1);
}

TEST(TaveloIapOnHidraw, SignalsDuringAndOutsideATransfer) {
    HidrawTestbed bed;
    sim::VirtualTablet::Config tConfig;
    tConfig.iModelIndex = 0;
    auto pTablet = std::make_shared<sim::VirtualTablet>(tConfig);
    const std::vector<std::uint8_t> image = TestImage(200 * 1024);
    ProgramDir dir(0, image);
    TabletOnBus bus(&bed, pTablet, false);
    const char kInterrupted[] =
        "\r\n[Tavelo IAP]: Upgrade interrupted: the tablet waits in its boot loader. Start the program again "
        "and choose 1 to complete the upgrade.\r\n";
    {
        // Mid-transfer: a closed terminal and a broken pipe change nothing; Ctrl-C stops after the package
        // under way, and the program ends with status 1.
        ProgramRun run(dir.Exe(), -1, dir.WorkDir());
        ASSERT_TRUE(run.WaitForOutput(kPrompt)) << run.Output();
        run.Send("1\n");
        ASSERT_TRUE(run.WaitForOutput("[Processing..]", 2)) << run.Output();
        run.Signal(SIGHUP);
        run.Signal(SIGPIPE);
        ASSERT_TRUE(run.WaitForOutput("[Processing..]", 4)) << run.Output();
        run.Signal(SIGINT);
        EXPECT_EQ(run.WaitExit(), 1) << run.Output();
        const std::string strOut = run.Output();
        EXPECT_EQ(strOut.size() - strOut.rfind(kInterrupted), sizeof(kInterrupted) - 1) << strOut;
        EXPECT_EQ(strOut.find("[Finish]"), std::string::npos) << strOut;
        EXPECT_EQ(pTablet->FirmwareInstalls(), 0u);
        EXPECT_EQ(pTablet->Running(), sim::TabletFirmware::kBootLoader);
    }
    {
        // Run again, choose 1: the upgrade completes. Ctrl-C at the menu then ends the program at once.
        ProgramRun run(dir.Exe(), -1, dir.WorkDir());
        ASSERT_TRUE(run.WaitForOutput(kPrompt)) << run.Output();
        run.Send("1\n");
        ASSERT_TRUE(run.WaitForOutput(kPrompt, 2, 120s)) << run.Output();
        EXPECT_NE(run.Output().find("[100.00%][Finish]"), std::string::npos) << run.Output();
        EXPECT_EQ(pTablet->FirmwareInstalls(), 1u);
        run.Signal(SIGINT);
        EXPECT_EQ(run.WaitExit(), 128 + SIGINT) << run.Output();
    }
}

