#pragma once
// The Account and About panes place their controls by position (the cover image lies under the
// avatar, which no layout manager allows). These helpers keep those positions centred in
// whatever width the pane gets (80 points more with a translation, more again when the
// translated texts need it) and keep controls side by side without covering each other.
#include <QList>
#include <QWidget>

namespace PaneLayout {

inline constexpr int kMargin = 20;
inline constexpr int kSpacing = 10;

// Width a control needs: its design width (kept as its minimum width) or what its text needs.
int neededWidth(const QWidget *control);
// From the left margin to the right margin; y and height stay.
void span(QWidget *control, int paneWidth, int margin = kMargin);
// Centred; y, width and height stay.
void centre(QWidget *control, int paneWidth);
// Side by side with the given spacing, each at its needed width, the row centred; y stays.
void centreRow(const QList<QWidget *> &row, int paneWidth, int spacing = kSpacing);
int rowWidth(const QList<QWidget *> &row, int spacing = kSpacing);

} // namespace PaneLayout
