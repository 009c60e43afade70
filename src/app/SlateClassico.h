#pragma once
// The program's visual style, "Slate Classico": a style sheet carried in the resources.

#include <QString>

class QApplication;

// The style sheet's text; empty when the resource is missing.
QString SlateClassicoStyleSheet();

// Puts the style sheet on a Fusion base, so the look is the same on every desktop. False, with
// the toolkit's own style left in place, when the style sheet is not available.
bool ApplySlateClassico(QApplication& app);
