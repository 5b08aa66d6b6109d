#pragma once

#include <QLatin1String>
#include <QWidget>

// A child widget with the object name the forms and their tests look it up by.
template <class W>
W* Make(QWidget* Parent, const char* Name) {
    auto* w = new W(Parent);
    w->setObjectName(QLatin1String(Name));
    return w;
}
