#pragma once

#include <QDialog>

#include "server/core/localisation.h"
#include "server/outputs/filter.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace orv {

// The filter dialog: one output filter's phone mask, ID mask, Acc0 box and source.
class TOutDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kPhoneMaskLength = 12;
  static constexpr int kIdMaskLength = 20;

  // Shows `filter`; a new filter is a default tFItem (source "GPRS").
  TOutDlg(const tFItem& filter, const Localisation& texts, QWidget* parent = nullptr);

  // The filter with the four fields as the dialog holds them. A field the operator left alone
  // keeps its stored value, even where the field could not show it (a mask longer than the
  // field, an Acc0 or source value outside the box and the list).
  tFItem filter() const;

  QLineEdit* phoneEdit() const { return phone_; }
  QLineEdit* idEdit() const { return id_; }
  QCheckBox* acc0Box() const { return acc0_; }
  QComboBox* sourceBox() const { return source_; }

 private:
  tFItem filter_;
  QLineEdit* phone_;
  QLineEdit* id_;
  QCheckBox* acc0_;
  QComboBox* source_;
};

}  // namespace orv
