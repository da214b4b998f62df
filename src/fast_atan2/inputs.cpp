#include "fast_atan2/inputs.hpp"

#include <cmath>

namespace zorv::fast_atan2 {
namespace {

// The fixed inputs of the agreement check. The first three groups were found
// by sampling 1.4e8 pairs (uniform, link-like, wide exponents, small ratios,
// near the diagonal and near the table points) against each variant of the
// library, and their distance from a midpoint confirmed with 300-bit
// arithmetic.
constexpr double inf = __builtin_inf();
constexpr double nan = __builtin_nan("");
constexpr Atan2Input hard_inputs[] = {
    // Rounded the wrong way by the C library here (with FMA, without, or both):
    // within 0.03 ULP of a midpoint, so the lanes must defer on every one.
    {-0x1.a6d55c56bc93ep-6, 0x1.dc8ffea84eb80p+0},
    {0x1.2c18e8bcc5e80p-7, 0x1.6276d38e4416ap-1},
    {-0x1.843a97cc37f82p-6, 0x1.8de9a5c982042p+0},
    {0x1.19603203c6141p+121, 0x1.2ddfe2440f2fcp+126},
    {-0x1.8fb4dbe490950p-5, 0x1.8fb4e465d0860p+0},
    {0x1.6feda4ca45467p-5, 0x1.6feda603aa336p+0},
    {-0x1.ad7e78fbb1770p-6, 0x1.b540d4274d812p-2},
    {0x1.b1df5d0c5f440p-5, 0x1.c5c0ed562a85ap-1},
    {0x1.ea0d9fe8aa308p-4, 0x1.ea0d9fef994eap+0},
    {0x1.dfee66515d487p-4, 0x1.e6a76c9038645p-1},
    {-0x1.5a2508aaa9289p-3, 0x1.5f00e3737c5aep+0},
    {-0x1.960f2ac528a49p-4, 0x1.d785f1614d5ddp-1},
    {0x1.a8b1041b7dd90p-3, 0x1.a8b1041b7dd7cp+0},
    {0x1.2fcbb02871c7dp-3, 0x1.2fcbab32d8250p+0},
    {-0x1.23b315d3aeaecp-3, 0x1.23b315cb65e88p+0},
    {-0x1.ccac4ce957219p-3, 0x1.c9967a26a04e1p-1},
    {-0x1.86c6490bb9945p-2, 0x1.842261f426668p+0},
    {0x1.58e1958722820p-2, 0x1.54fd7e71e9b90p+0},
    {-0x1.a37c89587a42cp-2, 0x1.83986cecdf644p-1},
    {0x1.0534622e393ccp-1, 0x1.edbd7e35cb27ap-1},
    {-0x1.f30f10d047700p-2, 0x1.ca1e7389023d0p-1},
    {-0x1.5f5c9e146b24cp-1, 0x1.b3f6ea98d5480p-7},
    {-0x1.2b726bf120d3fp+0, 0x1.2b6e3f055df82p-4},
    {-0x1.16cacbfc60930p-2, 0x1.f17debdb7e200p-7},
    {-0x1.d16526922655fp+0, 0x1.7b3cfc48b0d8fp-4},
    {0x1.5b288dbda7febp+0, 0x1.3757d8e4f015ep-3},
    {-0x1.7651f13bbf55ap-1, 0x1.587e1e98617e0p-4},
    {-0x1.c0e6584fd7e2fp+0, 0x1.ab42b76b0381ap-3},
    {0x1.e182feb41b430p-1, 0x1.c6b50fadb1ed0p-3},
    {0x1.b251aec180bf4p-1, 0x1.40deeb7acacf8p-3},
    {-0x1.694b933df50c8p-1, 0x1.4a00b5414cab0p-3},
    {0x1.83a3b0a12cc8cp-2, 0x1.8b555cef14f03p-4},
    {0x1.fcb22c41d77a0p-4, 0x1.1d19ced207f20p-5},
    {-0x1.a51c55d15c58fp-1, 0x1.f6f25c44cb0e8p-3},
    {-0x1.27665158c2c1ap-1, 0x1.11dada362f0dap-1},
    {-0x1.e87b035b378b4p-1, 0x1.add621ff934b1p-1},
    {0x1.7312cf98871d4p+0, 0x1.696392a38ebe1p+0},
    {-0x1.a5bec6dd62f4cp-1, -0x1.2a74ac50ec500p-7},
    {-0x1.a561fb75eaec1p+0, -0x1.8dd98a58ba902p-4},
    {-0x1.727fb8ceeb323p+0, -0x1.707879ce59dc3p-4},
    {0x1.f5fa2e48213d4p-1, -0x1.ecfb4fc124c20p-5},
    {0x1.8a2970b44be7cp-1, -0x1.15e4e97114ca0p-4},
    {-0x1.bb943bf0afeb4p-1, -0x1.34a382e41f200p-4},
    {-0x1.8f401f0e8870fp-2, -0x1.7f07b577da691p-5},
    {-0x1.51b1173d8ff99p+0, -0x1.75efaf464a851p-3},
    {-0x1.48d556b7ac0d0p+0, -0x1.40b6386debe78p-2},
    {0x1.19f85fa413c73p-5, -0x1.014e36b3e5edbp-7},
    {0x1.a0a480e911a49p-2, -0x1.f1a6a47d94915p-4},
    {0x1.2686d2bafacbap-1, -0x1.887e4b568ccc8p-3},
    {0x1.e154f227a63aap-1, -0x1.2f85820a2a890p-2},
    {0x1.9cca3120ef366p-1, -0x1.f89b7b8e71ff9p-2},
    {-0x1.8cb7e237307d2p+0, -0x1.e202131bbaf18p-1},
    {0x1.e62a38fe86a4cp-1, -0x1.5513e64dc9d1ap-1},
    {0x1.f917029c177f5p-5, -0x1.1cc7d20b6d59ap+0},
    {0x1.9777e70639a60p-5, -0x1.bac91b701261cp-1},
    {-0x1.1900468004949p-6, -0x1.c308d9dd870d7p-2},
    {0x1.4dff1800c1720p-4, -0x1.83919bd762a3cp-1},
    {0x1.21d97a84c2f80p-4, -0x1.af67eee648e0ep-1},
    {-0x1.acd5b9df53f1ap-5, -0x1.74d55588f35a0p-1},
    {0x1.482a707a57053p-3, -0x1.551d3f37e6894p-1},
    {-0x1.13b21dba64adbp-3, -0x1.3d6dd13994e03p-1},
    {0x1.ba7b82b407b00p-6, -0x1.e2566eda91760p-4},
    {0x1.ba14959ffa7adp-3, -0x1.722db7d4aef9ap-1},
    {-0x1.d623e032f6f78p-3, -0x1.afa84a2f35afep-1},
    {0x1.2d481ce399f68p-3, -0x1.187d38ca6e3c8p-1},
    {0x1.d9b11b9b5b684p-2, -0x1.cc96a2e1607f0p-1},
    {-0x1.e1d8396bbf794p-1, -0x1.f67a6de25e1a8p-1},
    {-0x1.01d024895f830p+0, -0x1.09548d3462d2ap+0},
    {-0x1.e22ceb496e663p-9, 0x1.81be1d8d65824p+0},
    {0x1.52af4abd38728p-4, 0x1.52af4abd38758p+0},
    {0x1.9842d50fc4ec3p-5, 0x1.b718baa088fa7p-1},
    {0x1.79ef3b4194954p-6, 0x1.8df791e45391bp-2},
    {-0x1.a31e6dce90d8ep-3, 0x1.b88099c7062dbp+0},
    {-0x1.64dd03a8f0789p-4, 0x1.8247bc5df0f2cp-1},
    {0x1.1b5ae8085e99fp-3, 0x1.1f2eb0e4e771ep+0},
    {0x1.5cf5f2b972c24p-3, 0x1.92e548b9deff4p-1},
    {0x1.474e9c6bdbb02p-2, 0x1.79da52c2fb718p+0},
    {0x1.0d5bedaddb4d0p-2, 0x1.63ef35e58b6a2p+0},
    {-0x1.e3e5f20a042cfp-2, 0x1.e09b556b04038p+0},
    {-0x1.c2e00f9a0d67ep-2, 0x1.bfb961a6fad5ep+0},
    {0x1.7526cfc3c82b4p-3, 0x1.6de5fa4f0920ep-1},
    {-0x1.9de1c93e334f0p-3, 0x1.9250599b08040p-2},
    {0x1.09e5d6c673642p-1, 0x1.f687d2266dcb6p-1},
    {0x1.e5049783f422cp-2, 0x1.cd57edeacde66p-1},
    {-0x1.5d0be3c38bce2p-1, 0x1.13f3e404fbcd0p-4},
    {0x1.9ce7a05422dc2p+0, 0x1.7faa1cc44fb13p-3},
    {0x1.99bed63404fe4p+0, 0x1.1b7fe78b21665p-2},
    {0x1.c278afef808e8p-1, 0x1.37ca1ff57c1c8p-3},
    {0x1.52cbaa35ea2f2p-1, 0x1.a3d285d8b3118p-3},
    {-0x1.13b6309159594p-2, 0x1.3317fa74c99a0p-4},
    {-0x1.c6ec615415b42p-1, 0x1.dfd0b387097d0p-3},
    {0x1.f9c6392510e78p-1, 0x1.4f0f31483eaf2p-1},
    {0x1.00ea66b6d0082p-1, 0x1.5625a9f611770p-2},
    {0x1.35a0423e4469dp+0, 0x1.9a40208331c85p-1},
    {0x1.609e9316a5aa9p-4, -0x1.24aa4760b196dp-7},
    {0x1.2e906afa9b665p-1, -0x1.f3ef30baa07a3p-5},
    {-0x1.9df696016ee51p-5, -0x1.5659300f16ee4p-8},
    {0x1.19c363da8c49cp-2, -0x1.8885ae1717060p-5},
    {0x1.2ded556c1ef80p-1, -0x1.7b61c1f30ae50p-3},
    {0x1.adfe2e9a04ef6p+0, -0x1.0b58760a9222ap-1},
    {-0x1.8355287820434p-5, -0x1.0575ae362d284p-6},
    {0x1.7749b60375b4ap-1, -0x1.5ab40eb7574ebp-1},
    {-0x1.40121ba2b5d0fp+0, -0x1.2f2db02074959p+0},
    {0x1.851a95356454ap-1, -0x1.ccd55d7b9b870p-2},
    {0x1.ced853376b742p-4, -0x1.be089b16ca514p+0},
    {0x1.d01eacf62fec0p-4, -0x1.f259111fbf4f0p-2},
    {-0x1.1c0a650dfeeb0p-4, -0x1.d95fb550ed3e0p-2},
    {-0x1.2bd07bf8d0379p-1, -0x1.9e77ecbe15e92p+0},
    {-0x1.17cc8e007ccfcp-2, -0x1.b72b332a909a8p-1},
    {-0x1.7623e01579388p-1, -0x1.8b4a40c10504ep-1},
    {0x1.43ba6f2d85305p-1, -0x1.11a88c69ab693p+0},
    {0x1.3837e7a9c616cp-1, -0x1.c96580dd42ac6p-1},
    // Between 0.04 and 0.075 ULP from a midpoint: rounded by the lanes outside
    // x > 0, |y/x| in [1/16, 1/2), and among the first to differ if a library
    // rounds a little less accurately.
    {0x1.8582904de7000p-12, 0x1.cddd3769c9158p-2},
    {0x1.4f6cc50c48000p-14, 0x1.28e59e0fa8afcp-2},
    {0x1.0831842ff7400p-10, 0x1.d43bfe0a45a90p-1},
    {-0x1.d2aac91a39000p-11, 0x1.961c485f9c2e8p-1},
    {-0x1.4157b25350e00p-9, 0x1.9098fd7160cfcp-1},
    {0x1.558aaa80a0800p-9, 0x1.921b19656312ap-1},
    {-0x1.16bf44d522700p-8, 0x1.96584b3d6ffd4p-1},
    {0x1.d09ee518ae800p-9, 0x1.a3594b3e5284cp-1},
    {0x1.61b461e2b3b80p-7, 0x1.f71ba90fc0414p-1},
    {-0x1.18afaaf935380p-7, 0x1.367a0e78211aep-1},
    {0x1.84e5237a60a00p-6, 0x1.e4158844443e0p-1},
    {0x1.27210633664c0p-6, 0x1.a5c11a95ce780p-1},
    {0x1.c9f16ff0a0500p-6, 0x1.64aad1df5685ap-1},
    {0x1.41dcc802cc6a0p-5, 0x1.a8f2d1157c016p-1},
    {0x1.95935b31f6c00p-5, 0x1.75cad1ce67efap-1},
    {-0x1.49c6693591fd0p-4, 0x1.5b61b33cd869cp-1},
    {0x1.30cf70ed5a870p-3, 0x1.c27a8876702f0p-1},
    {0x1.0221eb2777e28p-3, 0x1.1500afdb507e8p-1},
    {0x1.3e4967887a5d8p-2, 0x1.c2d2c6e51022ap-1},
    {-0x1.2152e4e6cc14cp-2, 0x1.7cc69c461e61cp-1},
    {0x1.d6cf7657ea510p-4, 0x1.b5554bef5ebf0p-3},
    {0x1.3a7d20195b52ep-1, 0x1.a6d1a4c9d523cp-1},
    {0x1.665b6e1569374p-2, 0x1.6d6a7e1d60000p-15},
    {0x1.e8f80183e209ap-1, 0x1.1969d60c83000p-12},
    {-0x1.f8bcf7c0c72c0p-2, 0x1.3bcd71a132000p-11},
    {0x1.fd80dd6100c24p-2, 0x1.c634779e5d800p-11},
    {0x1.3ae21aa92b248p-1, 0x1.5c855fbffbc00p-10},
    {0x1.ef0e166a068c6p-1, 0x1.75d544504da00p-9},
    {-0x1.6488b02753ee8p-1, 0x1.0950ca26e2400p-8},
    {-0x1.b67f80e9da9b8p-3, 0x1.60fa48496dc00p-10},
    {0x1.0cc620b49105cp-1, 0x1.3d1d4254a0e00p-8},
    {-0x1.fcc2f8f474368p-1, 0x1.c652a83172480p-7},
    {-0x1.645acc15145cep-1, 0x1.2684767791b00p-6},
    {0x1.9a681aa3f18e0p-2, 0x1.29a63555faf00p-7},
    {0x1.c7f89cdf38630p-1, 0x1.9debbdcde4440p-5},
    {0x1.548eada33e9dep-1, 0x1.3ac1950a71a60p-5},
    {0x1.2f67b2d544e7cp-1, 0x1.9afdf80215720p-5},
    {0x1.a01d4d9f552ecp-1, 0x1.40cab73202970p-4},
    {-0x1.81da8ccb0d77ap-1, 0x1.16061b339bb18p-3},
    {-0x1.b56374426f4f8p-2, 0x1.e2f50ffa23820p-5},
    {-0x1.ec9aeb109ffa4p-1, 0x1.abd327a27b550p-2},
    {0x1.f1c0f95fc4884p-1, 0x1.05c6d2c2d3a90p-2},
    {0x1.7010e34c539a0p-2, 0x1.6bef91c704818p-2},
    {0x1.77836931fc22ap-1, 0x1.a9ba46f84ac40p-2},
    {0x1.ae994238526a4p-2, -0x1.6e73db2274000p-12},
    {-0x1.fd740af5509c2p-1, -0x1.0a1697920c000p-13},
    {-0x1.5464941bcbdc6p-1, -0x1.08b2b9a0c0c00p-10},
    {0x1.d76fb73a1609ep-1, -0x1.5d433ea4a6000p-10},
    {0x1.fd2ef848dc346p-1, -0x1.14344e668a400p-9},
    {-0x1.2dfb91ba2b9d0p-1, -0x1.a834522a5c000p-10},
    {0x1.f1c70d19a467ap-1, -0x1.5196d4ef6b600p-8},
    {0x1.87af75d2468e0p-4, -0x1.0a75520936000p-11},
    {0x1.3ebcf565e9544p-1, -0x1.8fa6a2d9ad100p-8},
    {-0x1.609515b6833d6p-1, -0x1.44781542ea300p-7},
    {-0x1.cabd2e5288bf0p-1, -0x1.9069fd69ea200p-6},
    {-0x1.b5d5ec97a2cd8p-1, -0x1.af35b048240c0p-6},
    {-0x1.e2f96b2a9fb72p-1, -0x1.4e8c7da757280p-5},
    {0x1.00b674dc44e32p-1, -0x1.f79bab4627180p-6},
    {-0x1.d53f7f74a4640p-1, -0x1.2af587ace6100p-4},
    {0x1.ca0db7248db74p-2, -0x1.b6e7a52afd5a0p-5},
    {-0x1.08ff1ae0458a6p-1, -0x1.018b11b767e70p-3},
    {-0x1.a507144844e86p-1, -0x1.2671842013540p-3},
    {-0x1.cc2b9a4a864e0p-1, -0x1.ae24ef5df4708p-2},
    {0x1.97e7e3ea13574p-1, -0x1.88f4a94b12d90p-2},
    {0x1.8e92583e098e0p-1, -0x1.d69b6346c8d20p-2},
    {0x1.7cc471ec395eep-1, -0x1.31fc009b9756cp-1},
    {0x1.7f50de0440800p-11, -0x1.9e9de5074e6d2p-1},
    {0x1.3398bba9f0000p-12, -0x1.974b19be51d48p-2},
    {-0x1.f2477af029400p-10, -0x1.f766618621576p-1},
    {0x1.491f826f65800p-11, -0x1.848ba90665228p-2},
    {0x1.311a51f162200p-9, -0x1.7061fa0aeccb2p-1},
    {0x1.e84d73cb59400p-10, -0x1.b9deb5547107ap-1},
    {-0x1.9aab2bf0b3200p-9, -0x1.9b50230ce52c8p-2},
    {-0x1.4bb2ade930400p-10, -0x1.4a6daa93001a4p-2},
    {0x1.3dce79807a780p-7, -0x1.4a26509ffafe2p-1},
    {0x1.c1f82cb19c100p-8, -0x1.fdf2d27abca54p-2},
    {0x1.5ab2956510500p-7, -0x1.96afbc942cd70p-2},
    {-0x1.976bf0b1728c0p-6, -0x1.f2087a80a3772p-1},
    {-0x1.f89c758ce7940p-6, -0x1.83ed1f57c79fap-1},
    {0x1.fa2d4a8b6de40p-6, -0x1.81f4430e3f278p-1},
    {0x1.89af1fb518810p-4, -0x1.f3be7f12274bep-1},
    {-0x1.c64cd90018a60p-5, -0x1.3bc2e22130b48p-1},
    {0x1.4457f4dfb1fc0p-3, -0x1.b8b5569076d78p-1},
    {-0x1.b49a6f9972ee0p-4, -0x1.ae7fa1eed7a94p-1},
    {-0x1.798fed82ac62cp-2, -0x1.9e5aeb5c3ea2cp-1},
    {-0x1.64605cd8930ccp-2, -0x1.b40bdaf076a5ap-1},
    {0x1.03b8804eb4fb8p-1, -0x1.78e72efb99f1cp-1},
    {-0x1.79fc2ac482128p-1, -0x1.f35ae2d7d73f4p-1},
    // Just outside the band of each region, two pairs on each side of a
    // midpoint: 1.35 to 1.6 times the library's stated bound away from it
    // (found by sampling inside each region, confirmed with 300-bit
    // arithmetic). Rounded by the lanes; the first to differ if a library
    // rounds a little less accurately than it states in one region.
    {-0x1.b8f6cfe14cb7ap-6, 0x1.feef58814f2f6p-1}, {-0x1.988564c2b558bp-5, 0x1.c948479c852dep+0},
    {0x1.f445057b6b7efp-6, 0x1.b57923eebc93ep-1}, {-0x1.3ced0e6e0b70ap-4, 0x1.e17ad38213426p+0},
    {-0x1.60e0f0d5ec3f9p-2, 0x1.e71ea5c918a8cp+0}, {0x1.494a5b6b33b3ep-2, 0x1.9488475a4ff7ep+0},
    {0x1.c7b7a40af41f4p-3, 0x1.401b0cb5ea7b8p+0}, {-0x1.271dc2f07b2ddp-3, 0x1.517127c37ef8fp+0},
    {0x1.27e7df98d8ce7p-1, 0x1.2df279d6e3e26p+0}, {0x1.dbb13486ad485p-3, 0x1.2cffb9aafabc9p-1},
    {-0x1.18926f186fbc8p-1, 0x1.246e8335fc2d2p+0}, {0x1.7a2fad62091cbp-1, 0x1.e300ede55b2b2p+0},
    {0x1.590cca933b444p+0, 0x1.f407060f9e64cp+0}, {0x1.31fbf11355181p-1, 0x1.242ef42b71b55p+0},
    {-0x1.666ba3946aed6p-1, 0x1.1bbfa6044478p+0}, {0x1.5d6bf25be1734p-2, 0x1.29732ad62eb78p-1},
    {-0x1.7eba9c07c8549p+0, 0x1.86987a9821f6ap+0}, {0x1.3b336bcb4ba5fp+0, 0x1.60f310e1a1c2ap+0},
    {0x1.2fe42eee5a6e5p+0, 0x1.7cc5102fdc164p+0}, {0x1.617a8469b99efp+0, 0x1.c62263b574081p+0},
    {-0x1.cbf33bb5ba826p-1, 0x1.7ef705400e00ep-6}, {-0x1.a86112d24d7a9p+0, -0x1.60cd721386f2p-5},
    {-0x1.15b5a5bf2456ap+0, -0x1.c94d40bd1e46fp-5}, {0x1.93c9b689aa79ap-1, -0x1.5c906f585139cp-7},
    {0x1.791b974b09cep-1, 0x1.d941df36a11ffp-3}, {0x1.48ae4b9a956dbp+0, -0x1.1f809f530b258p-2},
    {-0x1.3b36cfe1dab78p-1, -0x1.48ecab566c9dp-3}, {0x1.5a46c444ff8c7p-1, -0x1.ebd0a7ddfde5cp+0},
    {-0x1.ef2bded7da9eap+0, 0x1.c25be0eebedacp+0}, {0x1.e92a66885e803p-1, -0x1.0d4453782d451p-1},
    {-0x1.2e6a1cebad844p+0, 0x1.e1794df035928p-1}, {0x1.10ce28fdff52cp+0, 0x1.46691f188bc9p-1},
    // Within 1e-4 ULP of a midpoint.
    {0x1.70e2c0da3b000p-11, 0x1.f56b601f66e82p-1},
    {-0x1.00bbb86d71341p-15, 0x1.55fa75e692525p-6},
    {0x1.4c2916bd53800p-10, 0x1.360a1d30ef568p-1},
    {-0x1.2af01a84f1600p-9, 0x1.d7f0a034494b4p-2},
    {0x1.ae6da194b2900p-8, 0x1.d84bf94ac0d4cp-2},
    {-0x1.9f66f8d5e1200p-8, 0x1.55b3b4848e108p-2},
    {0x1.4973015553440p-5, 0x1.7748a924f87fep-1},
    {0x1.5ae02daf12150p-4, 0x1.be11954a38c18p-1},
    {0x1.0b56def20f7c8p-3, 0x1.b33e21a03322cp-1},
    {-0x1.825cb51e8dd08p-2, 0x1.ebad616d303fep-1},
    {-0x1.937343fc87258p-3, 0x1.13a9640d72366p-1},
    {0x1.c53d14cdda398p-1, 0x1.d72d54e587a12p-1},
    {0x1.c9c209091caa0p-1, 0x1.ae39e703a5000p-12},
    {-0x1.d22a0cdf8a82cp+0, 0x1.4fbc09334442dp-9},
    {-0x1.9fa47ca24d072p-1, 0x1.72ee5ef9e7200p-9},
    {-0x1.b8593ce93586cp-1, 0x1.af0cfdf82dd00p-8},
    {0x1.1e1be8ae20990p-1, 0x1.e5288142ac000p-8},
    {0x1.87f319cf60f84p-2, 0x1.4de5933cb4880p-7},
    {-0x1.73dd6c8d6a458p-1, 0x1.67fb339a3fca0p-5},
    {-0x1.4a3f6cd062ee8p-1, 0x1.cf76cc1bf4600p-5},
    {0x1.467d9059f8b2ap-1, 0x1.9ba1d9d4ff180p-4},
    {0x1.231f9f3a38750p-1, 0x1.9aa8ed302bf40p-3},
    {0x1.f3e7ce80a4caap-1, 0x1.fb9ecfd4947c4p-2},
    {-0x1.89267610b9084p-1, -0x1.5b75188622000p-12},
    {-0x1.3a32341d8c8a0p-2, -0x1.0fccc52fde179p-11},
    {-0x1.2385ccc1a4548p-1, -0x1.3bd76be5a5800p-10},
    {0x1.21f2dfbd2b540p-1, -0x1.fc2fdf952e800p-9},
    {-0x1.f88c633ae836ep-1, -0x1.fb83575ff6d00p-8},
    {-0x1.efcb691e3fb08p-1, -0x1.53193a7f78640p-6},
    {0x1.1fdb3ea32b684p-1, -0x1.c995e25b3cb00p-6},
    {-0x1.f88aaec25d63ap-1, -0x1.edca8314d4d00p-4},
    {0x1.e4ea50c34cce4p-1, -0x1.1e44cf4adc238p-3},
    {0x1.7f46c4907fca6p-1, -0x1.07df7dc2a1e38p-2},
    {0x1.9ad9521b4542cp-2, -0x1.92d3c3487dcb8p-3},
    {0x1.b1a4d09d5e442p-1, -0x1.d761cfde79d2cp-2},
    {0x1.400e416160000p-12, -0x1.f2632c0364690p-1},
    {-0x1.1dc1c93ac1319p-10, -0x1.715f73ff0d576p-1},
    {0x1.ebaef8f50a800p-11, -0x1.edd86fc392938p-3},
    {0x1.6be4c84a5c600p-9, -0x1.e63e4f41ce8f4p-2},
    {-0x1.5f252cd410800p-11, -0x1.5beb1b4b5a4c0p-4},
    {-0x1.0d00482156d00p-8, -0x1.ef36b77d51088p-3},
    {0x1.6cbc9b36102e0p-5, -0x1.7277ee8376f6ap-1},
    {-0x1.5c2fe8b35c820p-5, -0x1.9534000de1248p-2},
    {-0x1.f88b8da38aa70p-4, -0x1.7bc71f620bed8p-1},
    {0x1.563ac92c8bb38p-3, -0x1.d3751264885bcp-2},
    {-0x1.cf381f73c8578p-2, -0x1.c755b2f3a61fap-1},
    {0x1.78d83adf4fc06p-1, -0x1.c142d80864452p-1},
    // Special values and the edges of the range the lanes handle themselves.
    {0.0, 0.0}, {-0.0, 0.0}, {0.0, -0.0}, {-0.0, -0.0},
    {1.0, 0.0}, {-1.0, -0.0}, {0.0, 1.0}, {-0.0, -1.0}, {0.0, -1.0}, {-0.0, 1.0},
    {inf, inf}, {inf, -inf}, {-inf, inf}, {-inf, -inf},
    {inf, 1.0}, {-inf, -1.0}, {1.0, inf}, {1.0, -inf}, {-1.0, -inf},
    {nan, 1.0}, {1.0, nan}, {nan, nan}, {-nan, 0.0}, {0.0, -nan}, {nan, inf},
    {0x1p-1074, 1.0}, {1.0, 0x1p-1074}, {0x1p-1074, -0x1p-1074}, {-0x1.8p-1030, -0x1p-1060},
    {0x1p-1022, 0x1.fffffffffffffp1023}, {0x1.fffffffffffffp1023, 0x1p-1022},
    {0x1.fffffffffffffp1023, 0x1.fffffffffffffp1023}, {-0x1.fffffffffffffp1023, -0x1.fffffffffffffp1023},
    {0x1p-450, 0x1p450}, {-0x1p450, 0x1p-450}, {0x1p-450, -0x1p-450}, {0x1p450, 0x1p450},
    {0x1.fffffffffffffp-451, 1.0}, {1.0, 0x1.0000000000001p450}, {0x1.8p-300, -0x1.4p300},
    {1.0, 1.0}, {-1.0, -1.0}, {1.0, -1.0}, {3.0, 4.0}, {-4.0, 3.0}, {0x1p-60, 1.0},
    {1.0, 128.0}, {3.0, 128.0}, {64.0, 128.0}, {127.0, -128.0}, {-0x1.0000000000001p0, 1.0},
};

}  // namespace

using namespace atan2_draws;

Atan2Input draw_checked_atan2_input(Atan2Family family, SplitMix64& r) {
    switch (family) {
    case Atan2Family::uniform: {
        const double y = 2.0 * r.unit() - 1.0;
        const double x = 2.0 * r.unit() - 1.0;
        return {y, x};
    }
    case Atan2Family::link: {
        // A direction from a point in the unit disc, then a length.
        double u, v, q;
        do {
            u = 2.0 * r.unit() - 1.0;
            v = 2.0 * r.unit() - 1.0;
            q = u * u + v * v;
        } while (q > 1.0 || q < 0x1p-40);
        const double scale = link_length(r) / std::sqrt(q);
        return {v * scale, u * scale};
    }
    case Atan2Family::weak: {
        const double x = one_to_two(r) * 0.75;
        return {random_sign(r, x * (1.0 / 16 + (7.0 / 16) * r.unit())), x};
    }
    case Atan2Family::near_axis: {
        const double big = random_sign(r, one_to_two(r));
        const double small = random_sign(r, one_to_two(r) * std::ldexp(1.0, -between(r, 1, 70)));
        return one_of_two_ways(r, small, big);
    }
    case Atan2Family::power_of_two: {
        // An angle within a few ULP of 2^k (k from -30 to 1), as a rounded
        // direction of random length; the rounding of the components spreads
        // the exact angle over the nearby doubles.
        const double power = std::ldexp(1.0, between(r, -30, 1));
        const double angle = power + power * 0x1p-51 * (2.0 * r.unit() - 1.0);
        const double length = link_length(r);
        const double x = length * std::cos(angle);
        return {random_sign(r, length * std::sin(angle)), x};
    }
    default:  // a survey's family (tests/cpp/support/fast_atan2_survey.cpp)
        break;
    }
    return {0.0, 0.0};
}

std::span<const Atan2Input> fast_atan2_hard_inputs() { return hard_inputs; }

}  // namespace zorv::fast_atan2
