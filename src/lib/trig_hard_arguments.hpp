// Arguments where a build of the library's sin and cos without fused
// multiply-adds gives other values than the FMA build, where the steps' last
// sum is an exact tie, and where the library reduced by the other multiple of
// pi/2: a share of the hard cases, for the lanes' test at load. Made by
// tools/make_trig_data.py cases; do not edit by hand.
// clang-format off
#pragma once

namespace vuvirida::lib::trig_table {

inline constexpr double kHardArguments[] = {
    -0x1.595576e4c43cfp-1, -0x1.8570d191c4d67p-3, -0x1.316441025f068p-3,
    0x1.3462312ed1ed1p-2, -0x1.0da12e1eeaadcp-3, 0x1.19b470a2c3974p-1,
    0x1.c88b22fb700cap-2, 0x1.118fe721e8dc7p+1, 0x1.2d4a147383cc2p+1,
    -0x1.12dcee28b3a52p+1, 0x1.2dd6295bf7e35p+1, -0x1.df88956851100p+0,
    -0x1.27f7ed54b73b2p+1, -0x1.33f0e2577bf23p+4, -0x1.136f2a74e805ep+5,
    0x1.a2beb6731d247p+1, 0x1.25809647e33f3p+3, 0x1.964a7cd7fa265p+4,
    0x1.fc701e205d6cep+3, -0x1.48775cd2de079p+5, -0x1.a42d79e8098acp+13,
    0x1.587171576f4a4p+14, 0x1.2ea59eff71e28p+15, 0x1.f9d9e8b67ccdfp+15,
    -0x1.00506ade71147p+14, -0x1.ff8ac3652c344p+14, -0x1.81e9d57ec3045p+26,
    0x1.8731e94d3459cp+26, 0x1.5b268cd6ef1c7p+26, 0x1.2bccd38801f90p+22,
    -0x1.2410e83582f41p+26, 0x1.bda7fb2de37d3p+24, 0x1.4d8a463d2c866p-1,
    0x1.4a54a5ad776f8p-1, 0x1.9cd509c902308p-2, -0x1.0a4a018c69292p-1,
    -0x1.59dc5716ec15ep-2, -0x1.b157806414e2bp-1, 0x1.1331e6e576c8ap-1,
    0x1.6949de1c54f18p+0, -0x1.cf6ebd6b57a23p+0, 0x1.1faf5716ad7c6p+0,
    0x1.1d475b9b18f95p+0, -0x1.201ede8eb3a4cp+1, 0x1.c901fae15f6edp+0,
    -0x1.4a8617f675643p+4, 0x1.0aa82c31f3f62p+5, -0x1.e260e89808aeap+4,
    0x1.1cc67d7d6c4d6p+4, -0x1.22def497e06d8p+4, 0x1.6f70e425d722dp+5,
    -0x1.49e83141a2aeep+4, 0x1.66406b6501b7bp+15, -0x1.1f6f9ced54054p+16,
    -0x1.66aae8ea3c012p+16, 0x1.ae17882133743p+14, -0x1.19935e571baebp+15,
    0x1.6ca4ddd4d716dp+16, -0x1.8c65404cf202cp+25, -0x1.b8a407e1dcee8p+23,
    -0x1.77c10c8bd4fd5p+25, 0x1.9b36a77a37a61p+24, -0x1.8b946ec3f5d32p+24,
    0x1.4f1edfa8da329p+21, -0x1.ab912637e160ap-5, 0x1.dca89c9bd0ecfp-6,
    -0x1.f73138b67fcebp-4, 0x1.f0fde8f172f2ep-4, -0x1.90399448882d5p-4,
    -0x1.ff085942ba25ep-4, -0x1.f7e49a64aef2ap-3, -0x1.6532e0ab6878ep-3,
    -0x1.a704a8f3255d0p-3, 0x1.c41fba4878cd5p-2, 0x1.0287692350120p-2,
    0x1.29697375f4396p-2, 0x1.d45f9619b250ap+0, -0x1.22ab4bda05d38p+1,
    -0x1.b61f3a8c074b1p-1, 0x1.1c34e104d6fc2p+1, -0x1.2bb5c908b230bp+1,
    0x1.e74edd5fe52fdp-1, 0x1.5182aa159a0d3p+5, -0x1.7ab41c26a8d46p+5,
    -0x1.81e79d7244437p+1, 0x1.58e3313f2aa28p+4, -0x1.0ab09931d71f6p+5,
    -0x1.c0cf6775c5427p+4, -0x1.f6bb18798ceb2p+15, 0x1.284831acadcb5p+16,
    0x1.9ebbe617c79b9p+14, -0x1.9ace3f830c759p+11, -0x1.916889253ef2ep+15,
    0x1.5b2d6942365f6p+15, -0x1.3eeeca512c7f0p+26, -0x1.39d3c523b296ep+26,
    -0x1.257878a619b5ap+26, -0x1.7720b18840e3bp+24, 0x1.7b29e8fea4996p+24,
    -0x1.319920057d64ep+25, 0x1.c574128146ca9p-6, 0x1.14d1302ad78e6p-6,
    0x1.90f594f4fdc5ap-1, -0x1.9ab9335df4ab7p-1, -0x1.0cc0e964d071ep-1,
    -0x1.44b506ec5d0c0p-1, -0x1.5a49b93191474p-1, 0x1.9dbb5e26d0fa8p-1,
    -0x1.66d303bdf6eeep+0, 0x1.f72570fd056b4p-1, 0x1.64c8e57ce86e2p+0,
    -0x1.249fc08e274adp+1, 0x1.d0db901fffcb5p+0, 0x1.a66c3a7f4ffd4p+0,
    0x1.51b09de006921p+5, 0x1.04b8acae4a5b4p+5, -0x1.add5833d711c3p+4,
    -0x1.b99c418f87f95p+3, -0x1.fff2ef67b8bcep+2, -0x1.d29c3c523d44bp+4,
    -0x1.23289325c0257p+11, -0x1.ef4647ca480b3p+15, 0x1.9d63364a1f7c6p+14,
    -0x1.57b22c7e43a78p+16, -0x1.149cee1188829p+16, 0x1.cc5ff038826bcp+15,
    -0x1.032a573ef7f1bp+25, -0x1.7600963c0dc7ep+25, 0x1.8f13d8b62f0e6p+26,
    0x1.a7070a22df8b4p+22, 0x1.d10f1d7d0ef42p+25, 0x1.318e98b82e57ep+26,
    0x1.379b5216c5471p+10, 0x1.ca155edde29dfp+10, 0x1.b9b13ef2f883dp+22,
    0x1.feb4acbff1fd4p+25, 0x1.fe559c66fcd13p+25, 0x1.3759492dcaff7p+22,
    0x1.2915118e6f8f3p+26, 0x1.2fb0452701b79p+26, 0x1.547cbd37f6972p+26,
    0x1.2584a272ce301p+24, 0x1.cfca02384e3aep+23, 0x1.8af871e368561p+24,
    0x1.8fa5745eba86fp+25, 0x1.df5ed6bf46b9ep+25, 0x1.f58815f65c2ddp+25,
    0x1.85b80bb362747p+24, 0x1.34e6fc08c85e7p+25, 0x1.ae9b2207dca76p+24,
    0x1.cd15f2755c41fp+24, 0x1.523ecca92cc3bp+25, 0x1.847dc902b9f15p+23,
    0x1.8f0fa2a0fa709p+20, 0x1.415aa481ce03dp+25, 0x1.3f3786e1bbfe3p+25,
    0x1.146692e2d6518p+26, 0x1.a74d230024f64p+24, 0x1.fba068790124ap+25,
    0x1.78b5386d243c7p+26, 0x1.5149e5dc18617p+24, 0x1.1f231544f53a7p+19,
    0x1.45890f4cfb109p+26, 0x1.da6b3401ccb0ap+25,
};

}  // namespace vuvirida::lib::trig_table
