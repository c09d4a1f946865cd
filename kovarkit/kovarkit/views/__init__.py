"""Views: the pixel plot and the quicklook maps, drawn with matplotlib from
arrays handed to them; on top of kovarkit.core."""
