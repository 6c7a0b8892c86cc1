// Runs every stage on the home HOME names (a sandbox: scripts/screenshots makes one) and saves
// one picture of each section of the real main window, of two empty states (no snapshots,
// nothing to change) and of a failed Apply.
//
// Usage: lumifold_screenshots DIR
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <cstdlib>
#include <functional>

#include "app/LumifoldViewModel.h"
#include "app/MainContentView.h"
#include "core/dsstore/DSStoreFormat.h"
#include "core/dsstore/DSStoreReader.h"
#include "core/dsstore/DSStoreWriter.h"

namespace {

using lumifold::app::LumifoldViewModel;
using lumifold::app::MainContentView;
using lumifold::app::Section;

// Lets the model's queued results in until no stage runs and `done` holds; a stage that never
// ends is a fault.
void waitUntilIdle(
    const LumifoldViewModel& model, const std::function<bool()>& done = [] { return true; }) {
    QDeadlineTimer deadline(120'000);
    do {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (deadline.hasExpired()) {
            QTextStream(stderr) << "A stage did not finish: " << model.statusMessage() << '\n';
            std::exit(1);
        }
    } while (model.isWorking() || !done());
    QCoreApplication::processEvents();  // and let the screens lay out what came back
}

// Sections that read the world again when shown (Apply, Restore, Keep Consistent) are waited for.
void save(MainContentView& window, const LumifoldViewModel& model, Section section,
          const QString& path) {
    window.selectSection(section);
    waitUntilIdle(model);
    if (!window.grab().save(path)) {
        QTextStream(stderr) << "Could not write " << path << '\n';
        std::exit(1);
    }
    QTextStream(stdout) << path << '\n';
}

// Another program edits the Desktop's store after Apply: a comment on one of its files.
void driftDesktopStore() {
    const std::string path =
        QDir::homePath().toStdString() + "/Desktop/" + lumifold::dsstore_format::kFileName;
    auto entries = lumifold::DSStoreReader().readEntries(path);
    entries.push_back(
        {"notes.txt", "cmmt", "ustr", lumifold::DSStoreValue::string("Edited in another app")});
    lumifold::DSStoreWriter().write(entries, path);
}

// The Finder's preferences become unreadable, so the next Apply fails.
void spoilFinderPreferences() {
    QFile file(QDir::homePath() + QStringLiteral("/Library/Preferences/com.apple.finder.plist"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write("not a property list") < 0) {
        QTextStream(stderr) << "Could not write " << file.fileName() << '\n';
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "Usage: lumifold_screenshots DIR\n";
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    const auto file = [&](const char* name) { return out.filePath(QString::fromLatin1(name)); };

    // A sandbox's HOME is not the account's: the user's service managers are not asked.
    LumifoldViewModel model(lumifold::app::AppEnvironment::system());
    MainContentView window(model);
    window.resize(780, 520);
    window.show();
    waitUntilIdle(model);  // the Inspect every start runs
    save(window, model, Section::inspect, file("inspect.png"));
    save(window, model, Section::restore, file("restore-empty.png"));

    model.generatePreview();
    waitUntilIdle(model);
    save(window, model, Section::preview, file("preview.png"));

    window.selectSection(Section::apply);  // showing Apply refreshes
    waitUntilIdle(model);
    model.apply();
    waitUntilIdle(model);
    save(window, model, Section::apply, file("apply.png"));

    model.generatePreview();
    waitUntilIdle(model);
    save(window, model, Section::preview, file("preview-empty.png"));

    model.verify();
    waitUntilIdle(model);
    save(window, model, Section::verify, file("verify.png"));

    driftDesktopStore();
    if (model.availableBackups().empty()) {
        QTextStream(stderr) << "Apply left no snapshot\n";
        return 1;
    }
    model.selectBackup(model.availableBackups().front());
    waitUntilIdle(model, [&] { return model.restoreEvaluation().has_value(); });
    save(window, model, Section::restore, file("restore.png"));

    model.toggleWatcher();
    waitUntilIdle(model);
    save(window, model, Section::consistency, file("keep-consistent.png"));
    model.toggleWatcher();

    window.selectSection(Section::apply);  // first, so that its refresh does not follow
    waitUntilIdle(model);
    spoilFinderPreferences();
    model.apply();
    waitUntilIdle(model);
    save(window, model, Section::apply, file("apply-failed.png"));
    return 0;
}
