// Configuration files in the main window: "Save configuration" and "Load configuration" through
// their file dialogs, the auto-load at the first showing and the auto-save at exit, with real
// loops whose controllers the test plays on pseudo-terminals. A file that cannot be used never
// costs the user the loops that run, and the auto-save never loses the previous file.
#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "config/configuration.h"
#include "currentloop/cl_test_frames.h"
#include "loops/loop_files.h"
#include "screens/screens_kit.h"
#include "screens/tloop.h"
#include "shell/comm_view.h"
#include "shell/formmain.h"
#include "shell/gallion_application.h"
#include "shell/loop_holder.h"
#include "support/zarn_master.h"

using namespace screens_kit;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What the file dialog looked like when it opened.
struct Seen_dialog {
    QString title;
    QStringList filters;
    QString suffix;
};

// Runs a File menu item; its file dialog is given `name` and accepted. Returns the texts of the
// message boxes that followed (each answered OK).
QStringList ThroughFileDialog(QAction* item, const QString& name, Seen_dialog* seen = nullptr)
{
    bool served = false;
    Modal_answerer answerer({}, {[&](QDialog* dialog) {
                                auto* files = qobject_cast<QFileDialog*>(dialog);
                                if (!files) {
                                    dialog->reject();
                                    return;
                                }
                                if (seen)
                                    *seen = {files->windowTitle(), files->nameFilters(), files->defaultSuffix()};
                                served = true;
                                // Typed into the dialog's file-name field.
                                auto* field = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
                                if (!field) {
                                    dialog->reject();
                                    return;
                                }
                                field->setText(name);
                                static_cast<QDialog*>(files)->accept();  // as its "Open" or "Save" button does
                            }});
    item->trigger();
    if (!served)
        qWarning("the file dialog did not open");
    return answerer.Texts();
}

bool ZarnPumpAnswers(ZarnMaster& master, uint8_t address)
{
    return master.Poll(address, 2000).has_value();
}

bool ClPumpAnswers(PtyController& line, int pump_number)
{
    line.Send(cltest::Poll(pump_number));
    const Bytes reply = line.ReadExactly(32, 2000);
    return cltest::CrcMatches(reply) && reply[2] == cltest::PumpAddress(pump_number);
}

int LoopsIn(const std::string& file_name)
{
    return Loop_file(file_name).LoopCount();
}

}  // namespace

class Configuration_files_test : public QObject {
    Q_OBJECT

    std::unique_ptr<Test_place> place_;

private slots:
    void init()
    {
        place_ = std::make_unique<Test_place>();
        place_->Settings().Set("Zarn", "HandleReturningMessages", "0");  // the test controller does not echo
        place_->Settings().Set("Zarn", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PumpSleepMs", "5");
        place_->Settings().Set("CurrentLoop", "PollTimeout", "3600");
        place_->Settings().Set("Main", "AutoSave", "0");
    }

    void cleanup() { place_.reset(); }

    // Saved through the menu, loaded back into a fresh window: the same tabs, the same pumps, and
    // the controllers get answers from exactly those pumps.
    void SaveThroughTheMenuAndLoadIntoAFreshWindow()
    {
        PtyController zarn_line, cl_line;
        ZarnMaster master(zarn_line);
        QStringList captions;
        {
            Window_rig rig;
            TfMain& window = rig.Window();
            TLoop* zarn = rig.AddPage(Protocol::zarn, zarn_line.SlavePath(), 1, 8);
            zarn->AddPump(0);
            zarn->AddPump(3);
            TLoop* cl = rig.AddPage(Protocol::current_loop, cl_line.SlavePath(), 1, 4);
            cl->AddPump(1);
            for (int i = 0; i < window.LoopHolder()->count(); ++i)
                captions << window.LoopHolder()->tabText(i);
            Seen_dialog seen;
            QCOMPARE(ThroughFileDialog(window.SaveItem(), QStringLiteral("saved"), &seen), QStringList());
            QCOMPARE(seen.title, QStringLiteral("Save current configuration"));
            QCOMPARE(seen.filters, QStringList{QStringLiteral("Gallion config file (*.gcf)")});
            QCOMPARE(seen.suffix, QStringLiteral("gcf"));
            QCOMPARE(LoopsIn("saved.gcf"), 2);
        }
        zarn_line.Drain();
        cl_line.Drain();

        Window_rig rig;
        TfMain& window = rig.Window();
        Seen_dialog seen;
        QCOMPARE(ThroughFileDialog(window.LoadItem(), QStringLiteral("saved.gcf"), &seen), QStringList());
        QCOMPARE(seen.title, QStringLiteral("Open configuration file"));
        QCOMPARE(seen.filters, QStringList{QStringLiteral("Gallion Configuration file (*.gcf)")});
        QCOMPARE(seen.suffix, QStringLiteral("gcf"));
        QCOMPARE(window.LoopHolder()->count(), 2);
        QStringList loaded;
        for (int i = 0; i < window.LoopHolder()->count(); ++i)
            loaded << window.LoopHolder()->tabText(i);
        QCOMPARE(loaded, captions);
        QCOMPARE(window.LoopHolder()->currentIndex(), 0);
        const Pump_loop& zarn = window.LoopHolder()->Page(0)->Loop();
        QCOMPARE(zarn.GetProtocol(), Protocol::zarn);
        QCOMPARE(zarn.Title(), zarn_line.SlavePath() + " Zarn");
        QVERIFY(zarn.HasPump(0) && zarn.HasPump(3) && !zarn.HasPump(1));
        QVERIFY(window.LoopHolder()->Page(1)->Loop().HasPump(1));

        QVERIFY(ZarnPumpAnswers(master, 0x50));
        QVERIFY(ZarnPumpAnswers(master, 0x53));
        QVERIFY(!master.Poll(0x51, 300));
        QVERIFY(ClPumpAnswers(cl_line, 2));

        // With no loop the menu's save does nothing: no dialog opens.
        window.LoopHolder()->RemoveAllPages();
        Modal_answerer none;
        window.SaveItem()->trigger();
        QTest::qWait(50);
        QCOMPARE(none.Count(), 0);
    }

    // A file that cannot be used whole (missing, too short, a bad header, a bad BCD nibble) is
    // reported and the running loops stay as they are, still answering their controller.
    void AFileThatCannotBeUsedKeepsTheLoops()
    {
        PtyController line, other;
        ZarnMaster master(line);
        {
            std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, other.SlavePath(), false, 1, 4);
            loop->AddPump(0);
            QCOMPARE(SaveLoops("good.gcf", {loop.get()}), std::string());
        }
        Bytes bad_bcd = FileBytes("good.gcf");
        // Header 7, count, type, first, last, port name with its zero, spy flag, 3 decimals, pump
        // count, slot, the identity field (7), 15 visible flags, then nozzle 1's volume total:
        // its size and decimals bytes, then its data.
        const size_t volume_total_data = 7 + 1 + 1 + 2 + other.SlavePath().size() + 1 + 1 + 3 + 1 + 1 + 7 + 15 + 2;
        QVERIFY(bad_bcd.size() > volume_total_data);
        bad_bcd[volume_total_data] = 0xA1;
        WriteBytes("bad_bcd.gcf", bad_bcd);
        WriteBytes("short.gcf", {0x01, 0x02, 0x03});
        WriteBytes("header.gcf", {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x77, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});

        Window_rig rig;
        TfMain& window = rig.Window();
        TLoop* page = rig.AddPage(Protocol::zarn, line.SlavePath(), 1, 4);
        page->AddPump(0);
        const QString not_valid = QString::fromLatin1(kNotValidConfigurationText);
        QCOMPARE(ThroughFileDialog(window.LoadItem(), QStringLiteral("short.gcf")), QStringList{not_valid});
        QCOMPARE(ThroughFileDialog(window.LoadItem(), QStringLiteral("header.gcf")), QStringList{not_valid});
        QCOMPARE(ThroughFileDialog(window.LoadItem(), QStringLiteral("bad_bcd.gcf")),
                 QStringList{QString::fromLatin1(kNotValidBcdText)});
        {
            // A missing file, as the auto-load meets it (the open dialog offers existing files only).
            Modal_answerer answerer;
            window.LoadConfigurationFile("missing.gcf");
            QCOMPARE(answerer.Texts(), QStringList{not_valid});
        }
        QCOMPARE(window.LoopHolder()->count(), 1);
        QCOMPARE(window.ActivePage(), page);
        QVERIFY(ZarnPumpAnswers(master, 0x50));

        // A good file replaces them: the old loop's pump falls silent, the file's answers. The
        // communication view keeps its lines.
        ClickButton(window.CommPane()->StopStartButton());
        const QString stopped = QStringLiteral(" *** Communication view stopped *** ");
        QVERIFY(window.CommPane()->Lines().contains(stopped));
        ZarnMaster other_master(other);
        QCOMPARE(ThroughFileDialog(window.LoadItem(), QStringLiteral("good.gcf")), QStringList());
        QVERIFY(window.CommPane()->Lines().contains(stopped));
        QVERIFY(window.CommPane()->View()->toPlainText().contains(stopped));
        QCOMPARE(window.LoopHolder()->count(), 1);
        QCOMPARE(window.ActivePage()->Loop().PortName(), other.SlavePath());
        line.Drain();
        QVERIFY(!master.Poll(0x50, 300));
        QVERIFY(ZarnPumpAnswers(other_master, 0x50));
    }

    // A loop whose port cannot be opened is left out with its message; the others load.
    void ALoopWhosePortIsGoneIsLeftOut()
    {
        PtyController kept_line;
        auto gone_line = std::make_unique<PtyController>();
        const std::string gone_port = gone_line->SlavePath();
        {
            std::unique_ptr<Pump_loop> gone = CreateLoop(Protocol::zarn, gone_port, false, 1, 4);
            std::unique_ptr<Pump_loop> kept = CreateLoop(Protocol::current_loop, kept_line.SlavePath(), false, 1, 4);
            kept->AddPump(0);
            QCOMPARE(SaveLoops("two.gcf", {gone.get(), kept.get()}), std::string());
        }
        gone_line.reset();  // its pseudo-terminal is gone with it

        Window_rig rig;
        TfMain& window = rig.Window();
        const QStringList texts = ThroughFileDialog(window.LoadItem(), QStringLiteral("two.gcf"));
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].startsWith(QStringLiteral("Invalid port")), qPrintable(texts[0]));
        QCOMPARE(window.LoopHolder()->count(), 1);
        QCOMPARE(window.ActivePage()->Loop().GetProtocol(), Protocol::current_loop);
        QVERIFY(ClPumpAnswers(kept_line, 1));
    }

    // "Exit" auto-saves (the previous file kept as autosave.gcf.bak); the next start with
    // auto-load brings the loop back on its virtual port and the pump answers again.
    void AutoSaveAtExitAndAutoLoadAtTheNextStart()
    {
        place_->Settings().Set("Main", "AutoSave", "1");
        place_->Settings().Set("Main", "AutoLoad", "1");
        PtyController line;
        ZarnMaster master(line);
        const Bytes empty_configuration = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x78, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
        WriteBytes("autosave.gcf", empty_configuration);
        {
            Window_rig rig;
            TfMain& window = rig.Window();
            QCOMPARE(window.LoopHolder()->count(), 0);  // the empty file loaded without a message
            TLoop* page = rig.AddPage(Protocol::zarn, line.SlavePath(), 1, 4);
            page->AddPump(1);
            MenuItem(window.FileMenu(), QStringLiteral("Exit"))->trigger();
            QVERIFY(window.IsShutDown());
            QVERIFY(window.ExitMessages().empty());
        }
        QCOMPARE(LoopsIn("autosave.gcf"), 1);
        QCOMPARE(FileBytes("autosave.gcf.bak"), empty_configuration);
        line.Drain();

        Modal_answerer answerer;
        Window_rig rig;
        QCOMPARE(answerer.Count(), 0);
        QCOMPARE(rig.Window().LoopHolder()->count(), 1);
        const Pump_loop& loop = rig.Window().ActivePage()->Loop();
        QCOMPARE(loop.PortName(), line.SlavePath());
        QVERIFY(loop.HasPump(1) && !loop.HasPump(0));
        QVERIFY(ZarnPumpAnswers(master, 0x51));
    }

    // An auto-load that could not use "autosave.gcf" leaves it as it was at exit, and says where;
    // once the user loads loops, the exit saves them. With no file at all there is nothing to keep.
    void AFailedAutoLoadDoesNotOverwriteTheFile()
    {
        place_->Settings().Set("Main", "AutoSave", "1");
        place_->Settings().Set("Main", "AutoLoad", "1");
        const Bytes damaged = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x78, 0x01, 0x01, 0x01};
        WriteBytes("autosave.gcf", damaged);
        {
            Modal_answerer answerer;
            Window_rig rig;
            QCOMPARE(answerer.Texts(), QStringList{QString::fromLatin1(kNotValidConfigurationText)});
            rig.Window().close();
            QCOMPARE(answerer.Count(), 2);  // the exit's message box
            QVERIFY2(answerer.Texts()[1].contains(QStringLiteral("autosave.gcf")), qPrintable(answerer.Texts()[1]));
            QVERIFY(answerer.Texts()[1].contains(QString::fromStdString(place_->Dir().Path())));
        }
        QCOMPARE(FileBytes("autosave.gcf"), damaged);

        PtyController line;
        {
            std::unique_ptr<Pump_loop> loop = CreateLoop(Protocol::zarn, line.SlavePath(), false, 1, 4);
            QCOMPARE(SaveLoops("other.gcf", {loop.get()}), std::string());
        }
        {
            auto answerer = std::make_unique<Modal_answerer>();
            Window_rig rig;
            QCOMPARE(answerer->Count(), 1);
            answerer.reset();
            QCOMPARE(ThroughFileDialog(rig.Window().LoadItem(), QStringLiteral("other.gcf")), QStringList());
            rig.Window().close();
            QVERIFY(rig.Window().ExitMessages().empty());
        }
        QCOMPARE(LoopsIn("autosave.gcf"), 1);
        QCOMPARE(FileBytes("autosave.gcf.bak"), damaged);

        std::filesystem::remove("autosave.gcf");
        {
            Modal_answerer answerer;
            Window_rig rig;
            QCOMPARE(answerer.Texts(), QStringList{QString::fromLatin1(kNotValidConfigurationText)});
            rig.Window().close();
            QVERIFY(rig.Window().ExitMessages().empty());
        }
        QCOMPARE(LoopsIn("autosave.gcf"), 0);
    }

    // A configuration that cannot be written is reported: in a message box from the menu's save,
    // and at exit, where the program still shuts down.
    void AFailedSaveIsReported()
    {
        place_->Settings().Set("Main", "AutoSave", "1");
        std::filesystem::create_directory("autosave.gcf");  // no file can take its place
        std::filesystem::create_directory("taken.gcf");
        PtyController line;
        Window_rig rig;
        TfMain& window = rig.Window();
        rig.AddPage(Protocol::zarn, line.SlavePath(), 1, 4);
        {
            Modal_answerer answerer;
            window.SaveConfigurationFile("taken.gcf");
            QCOMPARE(answerer.Count(), 1);
            QVERIFY2(answerer.Texts()[0].startsWith(QStringLiteral("Cannot write the configuration file taken.gcf")),
                     qPrintable(answerer.Texts()[0]));
        }
        Modal_answerer answerer;
        window.close();
        QVERIFY(window.IsShutDown());
        QCOMPARE(window.LoopHolder()->count(), 0);
        QCOMPARE(answerer.Count(), 1);
        QVERIFY2(answerer.Texts()[0].contains(QStringLiteral("Cannot write the configuration file autosave.gcf")),
                 qPrintable(answerer.Texts()[0]));
        QCOMPARE(window.ExitMessages().size(), size_t(1));
    }
};

GALLION_SCREENS_TEST_MAIN(Configuration_files_test)
#include "configuration_files_test.moc"
