// sentrel-notes-demo
//
// A UI app for the device's screen. Installed on a device and opened from
// the home screen, it shows one full-screen window: a title, a text field
// and, under it, what the field contains, updated as the user types. The
// return key ends editing.
//
// The window lives on the main queue, which the injected library may run on
// a thread of its own; without backboardd the app runs without a screen.
#include <cstdio>
#include <memory>
#include <string>

#include "platform/foundation/application.h"
#include "platform/foundation/signatures.h"
#include "platform/log/system_log.h"
#include "platform/runloop/run_loop.h"
#include "platform/runtime/runtime.h"
#include "platform/uikit/display_link.h"
#include "platform/uikit/label.h"
#include "platform/uikit/screen.h"
#include "platform/uikit/text_field.h"
#include "platform/uikit/window.h"

SENTREL_PROGRAM_REGISTERS_CLASSES();

namespace {

using namespace sentrel;
using namespace sentrel::uikit;

constexpr const char* kProcessName = "Notes";
constexpr const char* kEmptyNote = "Nothing typed yet";
constexpr double kMargin = 20;
constexpr double kTop = 60;  // below the status bar

class NotesScreen {
 public:
  NotesScreen() {
    const CGRect screen = UIScreen::mainScreen().bounds();
    const double width = screen.size.width - 2 * kMargin;
    window_ = std::make_shared<UIWindow>(screen);
    window_->setWindowLevel(UIWindowLevelNormal);
    window_->setBackgroundColor(UIColor::systemBackgroundColor());

    auto title = std::make_shared<UILabel>();
    title->setText("Notes");
    title->setFont(Font::systemFont(28, FontWeight::kBold));
    title->setFrame(CGRectMake(kMargin, kTop, width, title->intrinsicContentSize().height));
    window_->addSubview(title);

    field_ = std::make_shared<UITextField>();
    field_->setBorderStyle(UITextBorderStyle::kRoundedRect);
    field_->setPlaceholder("Type a note");
    const double fieldTop = kTop + title->frame().size.height + 16;
    field_->setFrame(CGRectMake(kMargin, fieldTop, width, field_->intrinsicContentSize().height));
    field_->addTarget(
        this, [this](UIControl&, UIControlEvents) { showNote(); }, UIControlEventEditingChanged);
    field_->addTarget(
        this, [this](UIControl&, UIControlEvents) { field_->resignFirstResponder(); },
        UIControlEventEditingDidEndOnExit);
    window_->addSubview(field_);

    note_ = std::make_shared<UILabel>();
    note_->setNumberOfLines(0);
    note_->setTextColor(UIColor::secondaryLabelColor());
    const double noteTop = fieldTop + field_->frame().size.height + 16;
    note_->setFrame(CGRectMake(kMargin, noteTop, width, screen.size.height - noteTop - kMargin));
    window_->addSubview(note_);
    showNote();
  }

  void show() { window_->makeKeyAndVisible(); }

 private:
  void showNote() {
    // The label draws from its top: a frame as tall as the text keeps it
    // under the field, however many lines it takes.
    note_->setText(field_->text().empty() ? kEmptyNote : field_->text());
    CGRect frame = note_->frame();
    frame.size.height = note_->sizeThatFits({frame.size.width, 1e9}).height;
    note_->setFrame(frame);
  }

  std::shared_ptr<UIWindow> window_;
  std::shared_ptr<UITextField> field_;
  std::shared_ptr<UILabel> note_;
};

void showNotes() {
  DisplayLink::startForProcess(kProcessName);
  static auto* notes = new NotesScreen();  // for the life of the app
  notes->show();
}

void applicationDidFinishLaunching(runtime::id, runtime::SEL, runtime::id) {
  log::line(std::string(kProcessName) + " finished launching");
  // The toolkit lives on the main queue's thread, which may not be this one.
  runloop::asyncMain(&showNotes);
}

}  // namespace

int main(int argc, char** argv) {
  Result<runtime::Class> cls = foundation::registerApplicationClass("NotesApplication");
  if (!cls.ok()) {
    std::fprintf(stderr, "sentrel-notes-demo: %s\n", cls.reason().c_str());
    return 1;
  }
  runtime::class_addMethod(*cls, runtime::sel_registerName("applicationDidFinishLaunching:"),
                           static_cast<runtime::MethodFn<foundation::sig::DidFinishLaunching>>(
                               &applicationDidFinishLaunching));
  return foundation::UIApplicationMain(argc, argv, "NotesApplication");
}
