#pragma once
// The toolbar's square pictograms, drawn in code so the program carries no image files.

#include <QIcon>

enum class Pictogram { Setup, Echo, Store, Query, Worklist, Print, Dump, About, End, Workflow };

QIcon PictogramIcon(Pictogram which);
