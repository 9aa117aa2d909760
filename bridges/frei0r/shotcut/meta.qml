// Shotcut's description of the korvane frei0r filter: the service, the panel, and the parameters its
// keyframes panel animates (frei0r values, 0 to 1; the panel shows the effect's own units).
import QtQuick 2.0
import org.shotcut.qml 1.0

Metadata {
    type: Metadata.Filter
    objectName: 'korvane'
    name: qsTr('Korvane Pixel Sort')
    keywords: qsTr('pixel sort glitch streak span', 'search keywords for the Korvane Pixel Sort video filter') + ' korvane pixel sort'
    mlt_service: 'frei0r.korvane'
    qml: 'ui.qml'
    keyframes {
        allowAnimateIn: true
        allowAnimateOut: true
        simpleProperties: ['threshold_low', 'threshold_high', 'angle', 'stretch_factor', 'pop', 'blur', 'block_width', 'block_height', 'resolution', 'loop', 'animate_growth', 'offset', 'random_offset', 'random_seed', 'feather_start', 'feather_end', 'noise_amount', 'noise_size', 'noise_complexity', 'noise_seed', 'edge_level', 'edge_scale', 'span_length', 'span_seed', 'wave_length', 'wave_amplitude', 'wave_phase', 'wave_drift', 'auto_low', 'auto_high', 'centre_x', 'centre_y']
        parameters: [
            Parameter { name: qsTr('Threshold low'); property: 'threshold_low'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Threshold high'); property: 'threshold_high'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Angle'); property: 'angle'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Stretch factor'); property: 'stretch_factor'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Pop'); property: 'pop'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Blur'); property: 'blur'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Block width'); property: 'block_width'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Block height'); property: 'block_height'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Resolution'); property: 'resolution'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Loop'); property: 'loop'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Animate growth'); property: 'animate_growth'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Offset'); property: 'offset'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Random offset'); property: 'random_offset'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Random seed'); property: 'random_seed'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Feather start'); property: 'feather_start'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Feather end'); property: 'feather_end'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Noise amount'); property: 'noise_amount'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Noise size'); property: 'noise_size'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Noise complexity'); property: 'noise_complexity'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Noise seed'); property: 'noise_seed'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Edge level'); property: 'edge_level'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Edge scale'); property: 'edge_scale'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Span length'); property: 'span_length'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Span seed'); property: 'span_seed'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Wavelength'); property: 'wave_length'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Wave amplitude'); property: 'wave_amplitude'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Wave phase'); property: 'wave_phase'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Wave drift'); property: 'wave_drift'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Band from'); property: 'auto_low'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Band to'); property: 'auto_high'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Centre X'); property: 'centre_x'; isCurve: true; minimum: 0; maximum: 1 },
            Parameter { name: qsTr('Centre Y'); property: 'centre_y'; isCurve: true; minimum: 0; maximum: 1 }
        ]
    }
}
