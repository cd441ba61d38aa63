#pragma once

// What the closing animation needs of a window; heights and positions are in twips.
class ShrinkingWindow
{
public:
    virtual ~ShrinkingWindow() = default;

    virtual bool isNormalState() const = 0; // neither minimised nor maximised
    virtual float height() const = 0;
    virtual void setHeight(int twips) = 0;
    virtual float screenHeight() const = 0;
    virtual void setTop(float twips) = 0;
    // Handles what is pending (repaints, clicks, menu choices) and returns.
    virtual void processEvents() = 0;
};

// Shrinks a window in its normal state by 150 twips a step, pending events handled before each
// step and the window centred on the screen by the height it really takes, until the height
// asked for is 150 twips or less. The count of steps follows from the starting height alone.
// A window taller than 32,767 twips throws OverflowError before the first step.
void shrinkWindow(ShrinkingWindow &window);
