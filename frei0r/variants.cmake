# The eight frei0r plug-ins, in build order: the one list that the targets,
# the Kdenlive descriptions and the code's variant table are all made from.
#   zk_frei0r_variant(ID BUNDLE WHICH TITLE EXPLANATION)
zk_frei0r_variant(cindergate_burn_in_bright Cindergate 1 "Cindergate burn in, bright first"
  "The incoming clip burns in, its brightest pixels first")
zk_frei0r_variant(cindergate_burn_in_dark Cindergate 2 "Cindergate burn in, dark first"
  "The incoming clip burns in, its darkest pixels first")
zk_frei0r_variant(cindergate_burn_out_bright Cindergate 3 "Cindergate burn out, bright first"
  "The outgoing clip burns out, its brightest pixels first")
zk_frei0r_variant(cindergate_burn_out_dark Cindergate 4 "Cindergate burn out, dark first"
  "The outgoing clip burns out, its darkest pixels first")
zk_frei0r_variant(ashveil_to_black_bright Ashveil 1 "Ashveil to black, bright first"
  "The clip drops out to black, its brightest pixels first")
zk_frei0r_variant(ashveil_to_black_dark Ashveil 2 "Ashveil to black, dark first"
  "The clip drops out to black, its darkest pixels first")
zk_frei0r_variant(ashveil_to_white_bright Ashveil 3 "Ashveil to white, bright first"
  "The clip drops out to white, its brightest pixels first")
zk_frei0r_variant(ashveil_to_white_dark Ashveil 4 "Ashveil to white, dark first"
  "The clip drops out to white, its darkest pixels first")
