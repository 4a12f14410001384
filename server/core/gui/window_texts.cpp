#include "server/core/gui/window_texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>
#include <QWidget>

namespace orv {
namespace {

// A tab page's caption lives in its tab widget.
bool setPageCaption(QWidget& page, const QString& text) {
  for (QWidget* p = page.parentWidget(); p != nullptr; p = p->parentWidget()) {
    if (auto* tabs = qobject_cast<QTabWidget*>(p)) {
      const int index = tabs->indexOf(&page);
      if (index < 0) return false;
      tabs->setTabText(index, text);
      return true;
    }
  }
  return false;
}

void setCaption(QObject& component, const QString& text) {
  if (auto* button = qobject_cast<QAbstractButton*>(&component)) {
    button->setText(text);
  } else if (auto* label = qobject_cast<QLabel*>(&component)) {
    label->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(&component)) {
    group->setTitle(text);
  } else if (auto* action = qobject_cast<QAction*>(&component)) {
    action->setText(text);
  } else if (auto* widget = qobject_cast<QWidget*>(&component)) {
    if (widget->isWindow()) {
      widget->setWindowTitle(text);
    } else {
      setPageCaption(*widget, text);
    }
  }
}

}  // namespace

QString windowText(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))
      .left(kMaxCaptionLength);
}

void applyWindowTexts(QWidget& window, const Localisation& texts) {
  if (!texts.loaded()) return;
  const QString name = window.objectName();
  const std::string windowName = name.toStdString();
  const QList<QObject*> components = window.findChildren<QObject*>();
  for (const auto& [key, value] : texts.captions(windowName)) {
    const QString component = QString::fromStdString(key);
    const QString text = windowText(value);
    if (component.compare(name, Qt::CaseInsensitive) == 0) {
      window.setWindowTitle(text);
      continue;
    }
    for (QObject* child : components) {
      if (child->objectName().compare(component, Qt::CaseInsensitive) == 0) {
        setCaption(*child, text);
        break;
      }
    }
  }
}

}  // namespace orv
