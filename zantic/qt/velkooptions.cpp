// The settings dialog (see velkooptions.h).
#include "velkooptions.h"

#include "ports.h"
#include "settings.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <initializer_list>

using namespace zantic;

Velkooptions::Velkooptions(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("Velkooptions"));
    setWindowTitle(QStringLiteral("Setting Box"));
    setFixedSize(403, 299);

    auto label = [](QWidget *parent, const char *name, const char *text, QRect at) {
        auto *l = new QLabel(QString::fromLatin1(text), parent);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(at);
        return l;
    };
    auto combo = [](QWidget *parent, const char *name, QRect at) {
        auto *c = new QComboBox(parent); // not editable: pick only
        c->setObjectName(QString::fromLatin1(name));
        c->setGeometry(at);
        return c;
    };
    auto frame = [this](const char *name, const char *title, QRect at) {
        auto *f = new QGroupBox(QString::fromLatin1(title), this);
        f->setObjectName(QString::fromLatin1(name));
        f->setGeometry(at);
        return f;
    };
    // Controls inside a frame are placed in dialog coordinates, shifted into the frame.
    auto in = [](const QGroupBox *f, int x, int y, int w, int h) {
        return QRect(x - f->x(), y - f->y(), w, h);
    };

    Label4 = label(this, "Label4", "Com Port:", {32, 24, 57, 17});
    cboPort = combo(this, "cboPort", {96, 24, 95, 20});
    Frame1 = frame("Frame1", "Baud Rate", {24, 56, 177, 65});
    cboSpeed = combo(Frame1, "cboSpeed", in(Frame1, 48, 80, 129, 20));
    Frame2 = frame("Frame2", "Setup", {24, 144, 177, 129});
    Label1 = label(Frame2, "Label1", "Data Bits:", in(Frame2, 40, 168, 49, 17));
    cboDataBits = combo(this, "cboDataBits", {96, 168, 92, 20});
    Label2 = label(Frame2, "Label2", "Parity:", in(Frame2, 56, 200, 41, 25));
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cboParity = combo(this, "cboParity", {96, 200, 92, 20});
    Label3 = label(Frame2, "Label3", "Stop Bits:", in(Frame2, 40, 232, 49, 17));
    cboStopBits = combo(Frame2, "cboStopBits", in(Frame2, 96, 232, 92, 20));
    Frame3 = frame("Frame3", "Flow Control", {232, 56, 121, 113});
    const QStringList captions = flowCaptions();
    const int optWidth[4] = {57, 73, 49, 77};
    for (int i = 0; i < 4; ++i) {
        optFlow[i] = new QRadioButton(captions[i], Frame3); // one exclusive group per parent
        optFlow[i]->setObjectName(QStringLiteral("optFlow%1").arg(i));
        optFlow[i]->setGeometry(in(Frame3, 248, 72 + 24 * i, optWidth[i], 17));
        connect(optFlow[i], &QRadioButton::toggled, this, [this, i](bool on) {
            if (on)
                optFlow_Click(int16_t(i));
        });
    }
    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(216, 224, 81, 25);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(304, 224, 81, 25);
    for (QPushButton *b : {cmdOK, cmdCancel}) {
        b->setAutoDefault(false); // neither is the default button
        b->setDefault(false);
    }
    // The two combo boxes that lie over the Setup frame belong to the dialog.
    cboDataBits->raise();
    cboParity->raise();

    chooseFont();

    connect(cmdOK, &QPushButton::clicked, this, &Velkooptions::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &Velkooptions::cmdCancel_Click);

    QWidget *order[] = {cboSpeed, cboPort, cboDataBits, cboParity, cboStopBits,
                        cmdOK,    cmdCancel, optFlow[0], optFlow[1], optFlow[2], optFlow[3]};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);

    Form_Load();
}

void Velkooptions::chooseFont()
{
    // The layout is in fixed pixels: take the largest size of the application's font with
    // which every caption fits its control, so that nothing is cut.
    QFont font = this->font();
    for (int px = 13; px >= 8; --px) {
        font.setPixelSize(px);
        setFont(font);
        const QFontMetrics fm(font);
        bool fits = true;
        for (QWidget *w : std::initializer_list<QWidget *>{
                 Label1, Label2, Label3, Label4, optFlow[0], optFlow[1], optFlow[2], optFlow[3],
                 cmdOK, cmdCancel}) {
            fits = fits && w->sizeHint().width() <= w->width() && fm.height() <= w->height();
        }
        for (QGroupBox *g : {Frame1, Frame2, Frame3})
            fits = fits && g->minimumSizeHint().width() <= g->width();
        for (QComboBox *c : {cboPort, cboSpeed, cboDataBits, cboParity, cboStopBits})
            fits = fits && fm.height() + 4 <= c->height();
        if (fits)
            return;
    }
}

void Velkooptions::Form_Load()
{
    // Centred on the whole screen, not its work area nor the owner window.
    // The outer frame's size is known once the window exists on the platform.
    winId();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect whole = screen->geometry();
        const QSize frame = frameGeometry().size();
        move(whole.x() + (whole.width() - frame.width()) / 2,
             whole.y() + (whole.height() - frame.height()) / 2);
    }
    LoadPropertySettings();
}

void Velkooptions::LoadPropertySettings()
{
    cboPort->addItems(portEntries());
    cboSpeed->addItems(speedEntries());
    cboDataBits->addItems(dataBitsEntries());
    cboParity->addItems(parityEntries());
    cboStopBits->addItems(stopBitsEntries());

    const LinePieces d = parseLineSettings(QString::fromLatin1(kDefaultLineSettings));
    cboSpeed->setCurrentIndex(cboSpeed->findText(d.speed, Qt::MatchExactly));
    cboParity->setCurrentIndex(d.parity);
    cboDataBits->setCurrentIndex(cboDataBits->findText(d.dataBits, Qt::MatchExactly));
    cboStopBits->setCurrentIndex(cboStopBits->findText(d.stopBits, Qt::MatchExactly));
    cboPort->setCurrentIndex(1);
    optFlow[0]->setChecked(true); // runs optFlow_Click(0) as a click would
    markPorts();
}

void Velkooptions::markPorts()
{
    // The entries keep their text and place (the port number is the position); an entry
    // whose device is there is bold, and every entry's tool tip says what it stands for.
    QFont bold = cboPort->font();
    bold.setBold(true);
    // A short list that scrolls, not a menu of all sixty as tall as the screen.
    cboPort->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
    cboPort->setMaxVisibleItems(12);
    for (const ports::Port &p : ports::scan(ports::systemRoots(), 1, cboPort->count())) {
        const int i = p.number - 1;
        cboPort->setItemData(i, QString::fromStdString(ports::describe(p)), Qt::ToolTipRole);
        if (p.present)
            cboPort->setItemData(i, bold, Qt::FontRole);
    }
    auto follow = [this](int i) { cboPort->setToolTip(cboPort->itemData(i, Qt::ToolTipRole).toString()); };
    connect(cboPort, &QComboBox::currentIndexChanged, this, follow);
    follow(cboPort->currentIndex());
}

void Velkooptions::cmdOK_Click()
{
    m_port = cboPort->currentIndex() + 1;
    m_flag = configWord(cboSpeed->currentIndex(), cboDataBits->currentIndex(),
                        cboParity->currentIndex(), cboStopBits->currentIndex(), FlowIndex);
    accept();
}

void Velkooptions::cmdCancel_Click() { reject(); }

void Velkooptions::optFlow_Click(int16_t Index) { FlowIndex = Index; }

void Velkooptions::keyPressEvent(QKeyEvent *event)
{
    // No button is the cancel button: Escape does not close the dialog.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
