// Shotcut's panel for the korvane frei0r filter: one row per parameter, in the effect's own units.
// The MLT properties are the plug-in's parameter names and take frei0r's 0 to 1: a slider's value is
// (shown - offset) / factor, a list's choice i of n is i / (n - 1), a checkbox 0 or 1.
import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import Shotcut.Controls 1.0 as Shotcut

Shotcut.KeyframableFilter {
    id: root

    // Defaults: sliders in shown units, lists and checkboxes as frei0r values.
    readonly property var rows: [
        { property: 'threshold_low', label: qsTr('Threshold low'), kind: 'slider', min: 0, max: 1, factor: 1, offset: 0, decimals: 3, suffix: '', defaultValue: 0 },
        { property: 'threshold_high', label: qsTr('Threshold high'), kind: 'slider', min: 0, max: 1, factor: 1, offset: 0, decimals: 3, suffix: '', defaultValue: 0.5 },
        { property: 'effect', label: qsTr('Sort pixels'), kind: 'list', choices: [qsTr('Inside the thresholds'), qsTr('Outside the thresholds')], defaultValue: 0 },
        { property: 'angle', label: qsTr('Angle'), kind: 'slider', min: -180, max: 180, factor: 360, offset: -180, decimals: 1, suffix: ' °', defaultValue: 0 },
        { property: 'stretch', label: qsTr('Stretch'), kind: 'check', defaultValue: 0 },
        { property: 'stretch_factor', label: qsTr('Stretch factor'), kind: 'slider', min: 0, max: 10, factor: 10, offset: 0, decimals: 3, suffix: '', defaultValue: 2 },
        { property: 'priority', label: qsTr('Stretch priority'), kind: 'list', choices: [qsTr('Sort'), qsTr('Source')], defaultValue: 1 },
        { property: 'trigger', label: qsTr('Trigger'), kind: 'list', choices: [qsTr('Red'), qsTr('Green'), qsTr('Blue'), qsTr('Alpha'), qsTr('Minimum'), qsTr('Maximum'), qsTr('Luminance'), qsTr('Saturation'), qsTr('Hue')], defaultValue: 0.75 },
        { property: 'sort_key', label: qsTr('Sort by'), kind: 'list', choices: [qsTr('Red'), qsTr('Green'), qsTr('Blue'), qsTr('Alpha'), qsTr('Minimum'), qsTr('Maximum'), qsTr('XOR'), qsTr('Luminance'), qsTr('Saturation'), qsTr('Hue')], defaultValue: 0.777778 },
        { property: 'fill', label: qsTr('Fill'), kind: 'check', defaultValue: 1 },
        { property: 'pop', label: qsTr('Pop'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'blur', label: qsTr('Blur'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: '', defaultValue: 0 },
        { property: 'block_width', label: qsTr('Block width'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 100 },
        { property: 'block_height', label: qsTr('Block height'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'reverse', label: qsTr('Reverse'), kind: 'check', defaultValue: 0 },
        { property: 'mirror', label: qsTr('Mirror'), kind: 'check', defaultValue: 0 },
        { property: 'resolution', label: qsTr('Resolution'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 100 },
        { property: 'affect_background', label: qsTr('Affect background'), kind: 'check', defaultValue: 1 },
        { property: 'loop', label: qsTr('Loop'), kind: 'slider', min: -180, max: 180, factor: 360, offset: -180, decimals: 1, suffix: ' °', defaultValue: 0 },
        { property: 'animate_growth', label: qsTr('Animate growth'), kind: 'slider', min: 0, max: 200, factor: 200, offset: 0, decimals: 1, suffix: ' %', defaultValue: 100 },
        { property: 'offset', label: qsTr('Offset'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'random_offset', label: qsTr('Random offset'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'random_seed', label: qsTr('Random seed'), kind: 'slider', min: 0, max: 65536, factor: 65536, offset: 0, decimals: 0, suffix: '', defaultValue: 0 },
        { property: 'feather_start', label: qsTr('Feather start'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'feather_end', label: qsTr('Feather end'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 0 },
        { property: 'noise_amount', label: qsTr('Noise amount'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 2, suffix: ' %', defaultValue: 0 },
        { property: 'noise_size', label: qsTr('Noise size'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 2, suffix: ' %', defaultValue: 10 },
        { property: 'noise_complexity', label: qsTr('Noise complexity'), kind: 'slider', min: 1, max: 8, factor: 7, offset: 1, decimals: 0, suffix: '', defaultValue: 4 },
        { property: 'noise_seed', label: qsTr('Noise seed'), kind: 'slider', min: 0, max: 65536, factor: 65536, offset: 0, decimals: 0, suffix: '', defaultValue: 0 },
        { property: 'mode', label: qsTr('Mode'), kind: 'list', choices: [qsTr('Sort pixels'), qsTr('Gradient'), qsTr('Stretch first pixel'), qsTr('Stretch last pixel'), qsTr('Mask'), qsTr('Map')], defaultValue: 0 },
        { property: 'preserve_alpha', label: qsTr('Preserve alpha'), kind: 'check', defaultValue: 0 },
        // Looks beyond the registered parameters, after them in the plug-in's order.
        { property: 'interval', label: qsTr('Interval'), kind: 'list', choices: [qsTr('Threshold'), qsTr('Edges'), qsTr('Random'), qsTr('Waves')], defaultValue: 0 },
        { property: 'edge_level', label: qsTr('Edge level'), kind: 'slider', min: 0, max: 1, factor: 1, offset: 0, decimals: 3, suffix: '', defaultValue: 0.1 },
        { property: 'edge_scale', label: qsTr('Edge scale'), kind: 'slider', min: 0.5, max: 20, factor: 19.5, offset: 0.5, decimals: 1, suffix: '', defaultValue: 1 },
        { property: 'span_length', label: qsTr('Span length'), kind: 'slider', min: 2, max: 4000, factor: 3998, offset: 2, decimals: 0, suffix: '', defaultValue: 64 },
        { property: 'span_seed', label: qsTr('Span seed'), kind: 'slider', min: 0, max: 100000, factor: 100000, offset: 0, decimals: 0, suffix: '', defaultValue: 0 },
        { property: 'wave_length', label: qsTr('Wavelength'), kind: 'slider', min: 2, max: 10000, factor: 9998, offset: 2, decimals: 0, suffix: '', defaultValue: 400 },
        { property: 'wave_amplitude', label: qsTr('Wave amplitude'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 50 },
        { property: 'wave_phase', label: qsTr('Wave phase'), kind: 'slider', min: -180, max: 180, factor: 360, offset: -180, decimals: 1, suffix: ' °', defaultValue: 0 },
        { property: 'wave_drift', label: qsTr('Wave drift'), kind: 'slider', min: -180, max: 180, factor: 360, offset: -180, decimals: 2, suffix: '', defaultValue: 2 },
        { property: 'auto_threshold', label: qsTr('Automatic thresholds'), kind: 'check', defaultValue: 0 },
        { property: 'auto_low', label: qsTr('Band from'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 70 },
        { property: 'auto_high', label: qsTr('Band to'), kind: 'slider', min: 0, max: 100, factor: 100, offset: 0, decimals: 1, suffix: ' %', defaultValue: 100 },
        { property: 'path', label: qsTr('Path'), kind: 'list', choices: [qsTr('Lines'), qsTr('Circles'), qsTr('Rays'), qsTr('Spiral'), qsTr('Hilbert curve')], defaultValue: 0 },
        { property: 'centre_x', label: qsTr('Centre X'), kind: 'slider', min: -100, max: 200, factor: 300, offset: -100, decimals: 1, suffix: ' %', defaultValue: 50 },
        { property: 'centre_y', label: qsTr('Centre Y'), kind: 'slider', min: -100, max: 200, factor: 300, offset: -100, decimals: 1, suffix: ' %', defaultValue: 50 }
    ]
    property bool refreshing: false

    function toFrei0r(row, shown) {
        return (shown - row.offset) / row.factor;
    }
    function toShown(row, value) {
        return value * row.factor + row.offset;
    }
    function defaultFrei0r(row) {
        return row.kind === 'slider' ? toFrei0r(row, row.defaultValue) : row.defaultValue;
    }
    function sliderRows() {
        return rows.filter(function (row) { return row.kind === 'slider'; });
    }

    function setControls() {
        refreshing = true;
        var position = getPosition();
        for (var i = 0; i < repeater.count; ++i)
            repeater.itemAt(i).refresh(position);
        refreshing = false;
    }

    keyframableParameters: sliderRows().map(function (row) { return row.property; })
    startValues: sliderRows().map(defaultFrei0r)
    middleValues: sliderRows().map(defaultFrei0r)
    endValues: sliderRows().map(defaultFrei0r)
    width: 420
    height: column.implicitHeight + 16

    Component.onCompleted: {
        if (filter.isNew) {
            for (var i = 0; i < rows.length; ++i)
                filter.set(rows[i].property, defaultFrei0r(rows[i]));
            filter.savePreset(preset.parameters);
        }
        setControls();
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 8

        RowLayout {
            Label {
                text: qsTr('Preset')
                Layout.preferredWidth: 130
                horizontalAlignment: Text.AlignRight
            }
            Shotcut.Preset {
                id: preset
                parameters: root.rows.map(function (row) { return row.property; })
                Layout.fillWidth: true
                onPresetSelected: setControls()
            }
        }

        Repeater {
            id: repeater
            model: root.rows

            RowLayout {
                readonly property var row: modelData

                function refresh(position) {
                    if (row.kind === 'slider') {
                        slider.value = toShown(row, filter.getDouble(row.property, position));
                        keyframes.checked = filter.keyframeCount(row.property) > 0 && filter.animateIn <= 0 && filter.animateOut <= 0;
                    } else if (row.kind === 'list') {
                        list.currentIndex = Math.round(filter.getDouble(row.property) * (row.choices.length - 1));
                    } else {
                        check.checked = filter.getDouble(row.property) >= 0.5;
                    }
                }

                Label {
                    text: row.label
                    Layout.preferredWidth: 130
                    horizontalAlignment: Text.AlignRight
                }
                Shotcut.SliderSpinner {
                    id: slider
                    visible: row.kind === 'slider'
                    minimumValue: row.kind === 'slider' ? row.min : 0
                    maximumValue: row.kind === 'slider' ? row.max : 1
                    decimals: row.kind === 'slider' ? row.decimals : 0
                    suffix: row.kind === 'slider' ? row.suffix : ''
                    Layout.fillWidth: true
                    onValueChanged: {
                        if (!root.refreshing && row.kind === 'slider')
                            updateFilter(row.property, toFrei0r(row, value), keyframes, getPosition());
                    }
                }
                Shotcut.ComboBox {
                    id: list
                    visible: row.kind === 'list'
                    model: row.kind === 'list' ? row.choices : []
                    Layout.fillWidth: true
                    onActivated: filter.set(row.property, currentIndex / (row.choices.length - 1))
                }
                CheckBox {
                    id: check
                    visible: row.kind === 'check'
                    Layout.fillWidth: true
                    onClicked: filter.set(row.property, checked ? 1 : 0)
                }
                Shotcut.UndoButton {
                    onClicked: {
                        if (row.kind === 'slider')
                            slider.value = row.defaultValue;
                        else
                            filter.set(row.property, row.defaultValue);
                    }
                }
                Shotcut.KeyframesButton {
                    id: keyframes
                    enabled: row.kind === 'slider'
                    opacity: enabled ? 1 : 0
                    onToggled: {
                        toggleKeyframes(checked, row.property, toFrei0r(row, slider.value));
                        setControls();
                    }
                }
            }
        }

        Item {
            Layout.fillHeight: true
        }
    }

    Connections {
        target: filter
        function onChanged() { setControls(); }
        function onInChanged() { updateSimpleKeyframes(); }
        function onOutChanged() { updateSimpleKeyframes(); }
        function onAnimateInChanged() { updateSimpleKeyframes(); }
        function onAnimateOutChanged() { updateSimpleKeyframes(); }
        function onPropertyChanged(name) { setControls(); }
    }

    Connections {
        target: producer
        function onPositionChanged() { setControls(); }
    }
}
